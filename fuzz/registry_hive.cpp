// A registry hive in Wine's text format, as a workstation's system.reg or user.reg may
// hold it. What parses is written out, parsed again and must give the same keys and
// values; written again it must give the same text. Every key is written twice: as read
// (the lines kept as they were) and rendered anew from its decoded values.
#include "FuzzSupport.h"
#include "oslayer/Registry.h"
#include "oslayer/RegistryHive.h"

#include <vector>

using Os::Detail::Hive;
using Os::Detail::HiveNode;

namespace {

std::shared_ptr<Hive> ParseHive(const QByteArray &bytes)
{
    auto hive = Hive::Parse(bytes, QStringLiteral("input.reg"), true);
    // Values are decoded when first read; a fault of theirs must show here, not later.
    hive->DecodeAll();
    return hive;
}

// Every key is walked without recursion: keys may be hundreds of levels deep.
template <typename Visit> void ForEachNode(Hive &hive, Visit visit)
{
    std::vector<HiveNode *> pending { hive.Root() };
    while (!pending.empty()) {
        HiveNode *node = pending.back();
        pending.pop_back();
        visit(node);
        for (HiveNode *child : hive.Children(node))
            pending.push_back(child);
    }
}

// As a write would leave them, without a new time: rendered from the decoded values.
void RenderEveryKey(Hive &hive)
{
    ForEachNode(hive, [](HiveNode *node) {
        if (node->Section)
            node->Section->Dirty = true;
    });
}

void CheckSameTree(Hive &a, Hive &b)
{
    std::vector<std::pair<HiveNode *, HiveNode *>> pending { { a.Root(), b.Root() } };
    while (!pending.empty()) {
        const auto [x, y] = pending.back();
        pending.pop_back();
        FUZZ_CHECK(x->Name.ToString() == y->Name.ToString());
        const Os::Detail::HiveKey *xk = a.Values(x);
        const Os::Detail::HiveKey *yk = b.Values(y);
        FUZZ_CHECK((xk == nullptr) == (yk == nullptr));
        if (xk) {
            FUZZ_CHECK(xk->Values.size() == yk->Values.size());
            for (size_t i = 0; i < xk->Values.size(); ++i) {
                FUZZ_CHECK(xk->Values[i].Name == yk->Values[i].Name);
                FUZZ_CHECK(xk->Values[i].Type == yk->Values[i].Type);
                FUZZ_CHECK(xk->Values[i].Data == yk->Values[i].Data);
            }
            FUZZ_CHECK(x->Section->IsLink == y->Section->IsLink);
        }
        const std::vector<HiveNode *> xc = a.Children(x);
        const std::vector<HiveNode *> yc = b.Children(y);
        FUZZ_CHECK(xc.size() == yc.size());
        for (size_t i = 0; i < xc.size(); ++i)
            pending.emplace_back(xc[i], yc[i]);
    }
}

void CheckWrittenTextStands(const std::shared_ptr<Hive> &hive)
{
    const QByteArray written = hive->Serialize();
    const std::shared_ptr<Hive> again = ParseHive(written);
    FUZZ_CHECK(again->IsWin64() == hive->IsWin64());
    CheckSameTree(*hive, *again);
    FUZZ_CHECK(again->Serialize() == written);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::shared_ptr<Hive> hive;
    try {
        hive = ParseHive(Fuzz::Bytes(data, size));
    } catch (const Os::ERegistryError &) {
        return 0;
    }
    // The shortcut that spares a start-up the index may never miss a key the parser found.
    const QByteArray text = Fuzz::Bytes(data, size);
    ForEachNode(*hive, [&text](HiveNode *node) {
        const QString name = node->Name.ToString();
        if (node->Parent && Os::Detail::TextCannotNameKey(text, name))
            Fuzz::Fail(__FILE__, __LINE__, "a key the text was said unable to name");
    });
    CheckWrittenTextStands(hive);
    RenderEveryKey(*hive);
    CheckWrittenTextStands(hive);
    return 0;
}
