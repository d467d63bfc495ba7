// Run-time loading of the Firebird client library.
#include "dbaccess/FbClient.h"

#include "oslayer/Exceptions.h"

#include <QFile>
#include <dlfcn.h>
#include <memory>

namespace Db {

namespace {

struct TLoader {
    QString LibraryName;
    bool NameSet = false;
    std::unique_ptr<TFbClientApi> Api;
};

TLoader &Loader()
{
    static TLoader loader;
    return loader;
}

template <typename F>
void Resolve(void *library, const char *symbol, F &target, const QString &libraryName)
{
    void *p = dlsym(library, symbol);
    if (!p)
        throw Os::Exception(QStringLiteral("The Firebird client library %1 has no entry point %2")
                                .arg(libraryName, QString::fromLatin1(symbol)));
    target = reinterpret_cast<F>(p);
}

} // namespace

QString ClientLibraryName()
{
    TLoader &l = Loader();
    if (l.NameSet)
        return l.LibraryName;
    const QByteArray env = qgetenv("DREMLIX_FBCLIENT");
    return env.isEmpty() ? QStringLiteral("libfbclient.so.2") : QString::fromLocal8Bit(env);
}

void SetClientLibraryName(const QString &fileName)
{
    TLoader &l = Loader();
    l.LibraryName = fileName;
    l.NameSet = true;
    l.Api.reset();
}

bool ClientLoaded()
{
    return Loader().Api != nullptr;
}

const TFbClientApi &Client()
{
    TLoader &l = Loader();
    if (l.Api)
        return *l.Api;
    const QString name = ClientLibraryName();
    // The library stays mapped for the life of the process: unloading a client
    // that still has threads of its own running is not safe.
    void *library = dlopen(QFile::encodeName(name).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char *why = dlerror();
        throw Os::Exception(QStringLiteral("Cannot load the Firebird client library %1: %2")
                                .arg(name, QString::fromLocal8Bit(why ? why : "unknown error")));
    }
    auto api = std::make_unique<TFbClientApi>();
    Resolve(library, "isc_attach_database", api->attach_database, name);
    Resolve(library, "isc_detach_database", api->detach_database, name);
    Resolve(library, "isc_drop_database", api->drop_database, name);
    Resolve(library, "isc_database_info", api->database_info, name);
    Resolve(library, "isc_start_transaction", api->start_transaction, name);
    Resolve(library, "isc_start_multiple", api->start_multiple, name);
    Resolve(library, "isc_commit_transaction", api->commit_transaction, name);
    Resolve(library, "isc_commit_retaining", api->commit_retaining, name);
    Resolve(library, "isc_rollback_transaction", api->rollback_transaction, name);
    Resolve(library, "isc_rollback_retaining", api->rollback_retaining, name);
    Resolve(library, "isc_dsql_allocate_statement", api->dsql_allocate_statement, name);
    Resolve(library, "isc_dsql_prepare", api->dsql_prepare, name);
    Resolve(library, "isc_dsql_describe", api->dsql_describe, name);
    Resolve(library, "isc_dsql_describe_bind", api->dsql_describe_bind, name);
    Resolve(library, "isc_dsql_execute", api->dsql_execute, name);
    Resolve(library, "isc_dsql_execute2", api->dsql_execute2, name);
    Resolve(library, "isc_dsql_execute_immediate", api->dsql_execute_immediate, name);
    Resolve(library, "isc_dsql_fetch", api->dsql_fetch, name);
    Resolve(library, "isc_dsql_free_statement", api->dsql_free_statement, name);
    Resolve(library, "isc_dsql_sql_info", api->dsql_sql_info, name);
    Resolve(library, "isc_create_blob2", api->create_blob2, name);
    Resolve(library, "isc_open_blob2", api->open_blob2, name);
    Resolve(library, "isc_get_segment", api->get_segment, name);
    Resolve(library, "isc_put_segment", api->put_segment, name);
    Resolve(library, "isc_close_blob", api->close_blob, name);
    Resolve(library, "isc_cancel_blob", api->cancel_blob, name);
    Resolve(library, "isc_service_attach", api->service_attach, name);
    Resolve(library, "isc_service_detach", api->service_detach, name);
    Resolve(library, "isc_service_start", api->service_start, name);
    Resolve(library, "isc_service_query", api->service_query, name);
    Resolve(library, "isc_sqlcode", api->sqlcode, name);
    Resolve(library, "fb_interpret", api->interpret, name);
    Resolve(library, "isc_get_client_version", api->get_client_version, name);
    api->shutdown = reinterpret_cast<decltype(api->shutdown)>(dlsym(library, "fb_shutdown"));
    l.Api = std::move(api);
    return *l.Api;
}

void ShutdownClient()
{
    TLoader &l = Loader();
    if (!l.Api || !l.Api->shutdown)
        return;
    // Without a limit, a server that does not answer would hold the exit forever.
    constexpr unsigned ShutdownMilliseconds = 5000;
    l.Api->shutdown(ShutdownMilliseconds, fb_shutrsn_app_stopped);
}

QString ClientVersion()
{
    char buffer[256] = {};
    Client().get_client_version(buffer);
    return QString::fromLatin1(buffer);
}

} // namespace Db
