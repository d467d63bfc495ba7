// TdmVestrel2: the gateway to the address-book library "OVVestrel2.dll". The wizard only
// asks it where the library is; the module that owns a loaded library is complete so
// that a product using it releases it the same way.
#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

// Loads and releases libraries for TdmVestrel2 (LoadLibrary / FreeLibrary).
class IVestrelLibraryLoader {
public:
    virtual ~IVestrelLibraryLoader() = default;
    // A handle (non-zero) or 0 with the thread's last error set.
    virtual quintptr Load(const QString &path) = 0;
    virtual void *EntryPoint(quintptr handle, const QString &name) = 0;
    // False with the thread's last error set when the library cannot be released.
    virtual bool Free(quintptr handle) = 0;
};

// The host's loader (dlopen / dlsym / dlclose on a host path of the prefix's file).
std::unique_ptr<IVestrelLibraryLoader> CreateHostLibraryLoader();

class TdmVestrel2 {
public:
    // Without a loader the host's loader is used.
    explicit TdmVestrel2(std::unique_ptr<IVestrelLibraryLoader> loader = nullptr);
    ~TdmVestrel2();
    TdmVestrel2(const TdmVestrel2 &) = delete;
    TdmVestrel2 &operator=(const TdmVestrel2 &) = delete;

    // The full path of the first candidate that exists beside the running program
    // (its folder; ..\..\Vestrel\Programs\; ..\..\Vestrel_2\Programs\; ..\Common files\),
    // else the bare name "OVVestrel2.dll".
    static QString GetVestrelDllPath();
    // The parent of a folder: one trailing backslash removed, then everything after the
    // last remaining backslash (which stays). Without a backslash, the folder itself.
    static QString ParentFolder(const QString &folder);

    // Loads the library and fills the named entry points (those the library lacks stay
    // null). False with the last error set when it cannot be loaded.
    bool LoadLibrary(const QString &path, const QStringList &entryPointNames);
    bool IsLoaded() const { return FLibraryHandle != 0; }
    quintptr LibraryHandle() const { return FLibraryHandle; }
    void *EntryPoint(const QString &name) const { return FEntryPoints.value(name, nullptr); }

    // Called just before the library is released.
    std::function<void()> BeforeUnload;

    // Releases the library: the before-unload procedure, then the release; on success
    // entry points, procedure and handle are cleared; on failure the system's explanation
    // is shown in an error box and the handle kept.
    void DataModuleDestroy();

private:
    std::unique_ptr<IVestrelLibraryLoader> FLoader;
    quintptr FLibraryHandle = 0;
    QHash<QString, void *> FEntryPoints;
};
