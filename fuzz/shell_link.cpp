// A shortcut (.lnk) of the prefix, read as the installer reads one, written back as it
// writes one when it changes a shortcut, and read again: the target and the strings must
// stay, and a second writing must give the same bytes.
#include "FuzzSupport.h"
#include "platform/ShellLinkFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::optional<ShellLinkData> link = ParseShellLink(Fuzz::Bytes(data, size));
    if (!link)
        return 0;
    FUZZ_CHECK(link->IdList.size() <= qsizetype(size));
    for (const ShellLinkData::ExtraBlock &block : link->ExtraData)
        FUZZ_CHECK(block.Data.size() >= 8 && block.Data.size() <= qsizetype(size));

    const QByteArray written = SerializeShellLink(*link);
    const std::optional<ShellLinkData> back = ParseShellLink(written);
    FUZZ_CHECK(back.has_value());
    FUZZ_CHECK(back->TargetPath() == link->TargetPath());
    FUZZ_CHECK(back->Description == link->Description);
    FUZZ_CHECK(back->RelativePath == link->RelativePath);
    FUZZ_CHECK(back->WorkingDir == link->WorkingDir);
    FUZZ_CHECK(back->Arguments == link->Arguments);
    FUZZ_CHECK(back->IconLocation == link->IconLocation);
    FUZZ_CHECK(back->IconIndex == link->IconIndex && back->ShowCommand == link->ShowCommand
        && back->HotKey == link->HotKey);
    FUZZ_CHECK(back->IdList == link->IdList);
    FUZZ_CHECK(back->ExtraData.size() == link->ExtraData.size());
    FUZZ_CHECK(SerializeShellLink(*back) == written);
    return 0;
}
