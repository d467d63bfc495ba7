// A registry hive in Wine's text format, as a workstation's system.reg or user.reg may
// hold it. What parses is written out, parsed again and must give the same keys and
// values; written again it must give the same text.
#include "FuzzSupport.h"
#include "oslayer/Registry.h"
#include "oslayer/RegistryHive.h"

#include <vector>

using Os::Detail::Hive;
using Os::Detail::HiveNode;

namespace {

// The hive parser reads files: the bytes go to a scratch file first.
std::shared_ptr<Hive> ParseHive(const QByteArray &bytes, const char *name)
{
    const QString path = Fuzz::ScratchPath(name);
    Fuzz::WriteScratch(path, bytes);
    return Hive::Load(path, true);
}

void CheckSameTree(const HiveNode *a, const HiveNode *b)
{
    // Deep keys are possible: walked without recursion.
    std::vector<std::pair<const HiveNode *, const HiveNode *>> pending { { a, b } };
    while (!pending.empty()) {
        const auto [x, y] = pending.back();
        pending.pop_back();
        FUZZ_CHECK(x->Name == y->Name);
        FUZZ_CHECK((x->Section == nullptr) == (y->Section == nullptr));
        if (x->Section) {
            const auto &xv = x->Section->Values;
            const auto &yv = y->Section->Values;
            FUZZ_CHECK(xv.size() == yv.size());
            for (size_t i = 0; i < xv.size(); ++i) {
                FUZZ_CHECK(xv[i].Name == yv[i].Name);
                FUZZ_CHECK(xv[i].Type == yv[i].Type);
                FUZZ_CHECK(xv[i].Data == yv[i].Data);
            }
            FUZZ_CHECK(x->Section->IsLink == y->Section->IsLink);
        }
        FUZZ_CHECK(x->Children.size() == y->Children.size());
        for (auto i = x->Children.begin(), j = y->Children.begin(); i != x->Children.end(); ++i, ++j) {
            FUZZ_CHECK(i->first == j->first);
            pending.emplace_back(i->second.get(), j->second.get());
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::shared_ptr<Hive> hive;
    try {
        hive = ParseHive(Fuzz::Bytes(data, size), "input.reg");
    } catch (const Os::ERegistryError &) {
        return 0;
    }
    const QByteArray written = hive->Serialize();
    const std::shared_ptr<Hive> again = ParseHive(written, "written.reg");
    FUZZ_CHECK(again->IsWin64() == hive->IsWin64());
    CheckSameTree(hive->Root(), again->Root());
    FUZZ_CHECK(again->Serialize() == written);
    return 0;
}
