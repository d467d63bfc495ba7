// The shell link (.lnk) file format: what the installer reads from and writes into
// shortcut files of the prefix. Unknown parts of a link read from disk (its item-id
// list, extra data blocks) are kept when it is written back.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>
#include <optional>

struct ShellLinkData {
    // Header
    uint32_t LinkFlags = 0;
    uint32_t FileAttributes = 0;
    uint64_t CreationTime = 0;
    uint64_t AccessTime = 0;
    uint64_t WriteTime = 0;
    uint32_t FileSize = 0;
    int32_t IconIndex = 0;
    uint32_t ShowCommand = 1;
    uint16_t HotKey = 0;

    QByteArray IdList;          // the item-id list without its size field; empty when absent
    // Link info
    bool HasLinkInfo = false;
    uint32_t DriveType = 0;
    uint32_t DriveSerialNumber = 0;
    QString VolumeLabel;
    QString LocalBasePath;      // "C:\WDremlix\ORV\Programs\Orvanta.exe"
    QString NetName;            // "\\server\share" of a link to a network path
    QString CommonPathSuffix;

    // String data
    std::optional<QString> Description;
    std::optional<QString> RelativePath;
    std::optional<QString> WorkingDir;
    std::optional<QString> Arguments;
    std::optional<QString> IconLocation;

    struct ExtraBlock {
        uint32_t Signature;
        QByteArray Data;        // the whole block with its size and signature
    };
    QList<ExtraBlock> ExtraData;

    // The target as the shell tells it: base path (or net name) + suffix; else the
    // target of the environment-variable block.
    QString TargetPath() const;
    // Points the link at another target: rebuilds the link info (local path or network
    // share) and drops the parts that would still name the old target.
    void SetTargetPath(const QString &path, uint32_t driveType);
};

enum ShellLinkFlag : uint32_t {
    SLF_HAS_ID_LIST = 0x00000001,
    SLF_HAS_LINK_INFO = 0x00000002,
    SLF_HAS_NAME = 0x00000004,
    SLF_HAS_RELATIVE_PATH = 0x00000008,
    SLF_HAS_WORKING_DIR = 0x00000010,
    SLF_HAS_ARGUMENTS = 0x00000020,
    SLF_HAS_ICON_LOCATION = 0x00000040,
    SLF_IS_UNICODE = 0x00000080,
    SLF_FORCE_NO_LINK_INFO = 0x00000100,
    SLF_HAS_EXP_STRING = 0x00000200,
    SLF_HAS_EXP_ICON = 0x00004000,
};

// Nullopt when the bytes are no shell link or are damaged (never reads out of bounds).
std::optional<ShellLinkData> ParseShellLink(const QByteArray &bytes);
QByteArray SerializeShellLink(const ShellLinkData &link);

// Windows-1252, the code page of the ANSI parts of a link.
QString DecodeAnsi(const QByteArray &bytes);
QByteArray EncodeAnsi(const QString &text);
