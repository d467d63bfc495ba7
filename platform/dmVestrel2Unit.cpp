#include "platform/dmVestrel2Unit.h"

#include "platform/GeneralRoutines.h"
#include "oslayer/Environment.h"
#include "oslayer/Files.h"
#include "oslayer/Paths.h"
#include "oslayer/WinError.h"

#include <QFileInfo>
#include <dlfcn.h>

using namespace Os;

namespace {

const QString VestrelDllName = QStringLiteral("OVVestrel2.dll");

// A module handle is the dlopen pointer, held as an integer the way Windows hands out an
// HMODULE; turning it back is the point, not a lost optimisation.
void *ModuleOf(quintptr handle)
{
    return reinterpret_cast<void *>(handle); // NOLINT(performance-no-int-to-ptr)
}

class HostLibraryLoader final : public IVestrelLibraryLoader {
public:
    quintptr Load(const QString &path) override
    {
        const QString host = path.contains(QLatin1Char('\\')) || path.contains(QLatin1Char(':')) ? HostPath(path) : path;
        if (host.isEmpty()) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        void *handle = dlopen(QFile::encodeName(host).constData(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        return reinterpret_cast<quintptr>(handle);
    }

    void *EntryPoint(quintptr handle, const QString &name) override
    {
        return dlsym(ModuleOf(handle), name.toLatin1().constData());
    }

    bool Free(quintptr handle) override
    {
        if (dlclose(ModuleOf(handle)) != 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        return true;
    }
};

} // namespace

std::unique_ptr<IVestrelLibraryLoader> CreateHostLibraryLoader()
{
    return std::make_unique<HostLibraryLoader>();
}

TdmVestrel2::TdmVestrel2(std::unique_ptr<IVestrelLibraryLoader> loader)
    : FLoader(loader ? std::move(loader) : CreateHostLibraryLoader())
{
}

TdmVestrel2::~TdmVestrel2()
{
    // A failed release shows its box from DataModuleDestroy; nothing may escape here.
    try {
        DataModuleDestroy();
    } catch (...) {
    }
}

QString TdmVestrel2::ParentFolder(const QString &folder)
{
    QString result = folder;
    if (result.endsWith(QLatin1Char('\\')))
        result.chop(1);
    const qsizetype last = result.lastIndexOf(QLatin1Char('\\'));
    if (last < 0)
        return result;
    return result.left(last + 1);
}

QString TdmVestrel2::GetVestrelDllPath()
{
    const QString exe = WindowsPath(Environment::OwnExecutableHostPath());
    const QString d = AddTrailingBackslash(ExtractFilePath(exe));
    const QString p1 = ParentFolder(d);
    const QString p2 = ParentFolder(p1);
    const QString candidates[] = {
        d + VestrelDllName,
        p2 + QStringLiteral("Vestrel\\Programs\\") + VestrelDllName,
        p2 + QStringLiteral("Vestrel_2\\Programs\\") + VestrelDllName,
        p1 + QStringLiteral("Common files\\") + VestrelDllName,
    };
    for (const QString &candidate : candidates) {
        if (FileExists(candidate))
            return candidate;
    }
    return VestrelDllName;
}

bool TdmVestrel2::LoadLibrary(const QString &path, const QStringList &entryPointNames)
{
    if (FLibraryHandle != 0)
        return true;
    const quintptr handle = FLoader->Load(path);
    if (handle == 0)
        return false;
    FLibraryHandle = handle;
    FEntryPoints.clear();
    for (const QString &name : entryPointNames)
        FEntryPoints.insert(name, FLoader->EntryPoint(handle, name));
    return true;
}

void TdmVestrel2::DataModuleDestroy()
{
    if (FLibraryHandle == 0)
        return;
    if (BeforeUnload)
        BeforeUnload();
    if (FLoader->Free(FLibraryHandle)) {
        FEntryPoints.clear();
        BeforeUnload = nullptr;
        FLibraryHandle = 0;
    } else {
        ShowLastError(QString(), true);
    }
}
