// What the system reports about itself: version, names, clock, network, session.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>

namespace Os {

enum PlatformId : uint32_t { VER_PLATFORM_WIN32_WINDOWS = 1, VER_PLATFORM_WIN32_NT = 2 };

struct WindowsVersion {
    uint32_t Platform = VER_PLATFORM_WIN32_NT;
    uint32_t Major = 6;
    uint32_t Minor = 1;
};
// From the prefix: HKLM\Software\Microsoft\Windows NT\CurrentVersion
// (CurrentMajorVersionNumber/CurrentMinorVersionNumber, else CurrentVersion "6.1");
// a prefix whose HKLM\Software\Microsoft\Windows\CurrentVersion has "VersionNumber"
// "4.10" and no NT key plays a 9x system.
WindowsVersion GetWindowsVersion();

// GetUserName / GetComputerName: false with the last error set when they cannot tell.
bool GetUserName(QString &name);
bool GetComputerName(QString &name);
QString GetHostName();
// IPv4 addresses of the host name, dotted, in resolver order, then those of the host's
// interfaces other than loopback that the resolver did not give.
QStringList LocalIPv4Addresses();

// The process runs with an administrator's rights on the host: as root, or as a member
// (effective or supplementary group) of a group through which the system hands out
// administration: "sudo" (Debian, Ubuntu), "admin" (older Ubuntu) or "wheel" (most others).
// This is what the Administrators group of a Windows token stands for on this host: Wine
// itself puts every program of a prefix in that group whoever runs it. Raises EOSError
// when the process's groups cannot be read.
bool IsHostAdministrator();

// Milliseconds, 32-bit and wrapping like GetTickCount. Tests may replace the source.
uint32_t GetTickCount();
void SetTickCountSource(std::function<uint32_t()> source); // empty: the real clock

// GetSystemMetrics(SM_REMOTESESSION) and ProcessIdToSessionId: no remote session on
// Linux unless a test says otherwise.
bool IsRemoteSession();
uint32_t CurrentSessionId();
void SetRemoteSessionForTests(bool remote, uint32_t sessionId);

uint32_t GetCurrentProcessId();
uint16_t GetSystemDefaultLangID();

} // namespace Os
