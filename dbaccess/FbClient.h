// The Firebird client library, loaded on first use as a table of typed entry points.
#pragma once

#include <QString>
#include <ibase.h>

namespace Db {

// Every client entry point the layer calls. Filled by dlsym from the library that
// ClientLibraryName() names, the first time Client() is asked for; nothing is
// loaded at program start, so a machine without the client still runs the wizard
// up to the first database call.
struct TFbClientApi {
    decltype(&isc_attach_database) attach_database = nullptr;
    decltype(&isc_detach_database) detach_database = nullptr;
    decltype(&isc_drop_database) drop_database = nullptr;
    decltype(&isc_database_info) database_info = nullptr;
    decltype(&isc_start_transaction) start_transaction = nullptr;
    decltype(&isc_start_multiple) start_multiple = nullptr;
    decltype(&isc_commit_transaction) commit_transaction = nullptr;
    decltype(&isc_commit_retaining) commit_retaining = nullptr;
    decltype(&isc_rollback_transaction) rollback_transaction = nullptr;
    decltype(&isc_rollback_retaining) rollback_retaining = nullptr;
    decltype(&isc_dsql_allocate_statement) dsql_allocate_statement = nullptr;
    decltype(&isc_dsql_prepare) dsql_prepare = nullptr;
    decltype(&isc_dsql_describe) dsql_describe = nullptr;
    decltype(&isc_dsql_describe_bind) dsql_describe_bind = nullptr;
    decltype(&isc_dsql_execute) dsql_execute = nullptr;
    decltype(&isc_dsql_execute2) dsql_execute2 = nullptr;
    decltype(&isc_dsql_execute_immediate) dsql_execute_immediate = nullptr;
    decltype(&isc_dsql_fetch) dsql_fetch = nullptr;
    decltype(&isc_dsql_free_statement) dsql_free_statement = nullptr;
    decltype(&isc_dsql_sql_info) dsql_sql_info = nullptr;
    decltype(&isc_create_blob2) create_blob2 = nullptr;
    decltype(&isc_open_blob2) open_blob2 = nullptr;
    decltype(&isc_get_segment) get_segment = nullptr;
    decltype(&isc_put_segment) put_segment = nullptr;
    decltype(&isc_close_blob) close_blob = nullptr;
    decltype(&isc_cancel_blob) cancel_blob = nullptr;
    decltype(&isc_service_attach) service_attach = nullptr;
    decltype(&isc_service_detach) service_detach = nullptr;
    decltype(&isc_service_start) service_start = nullptr;
    decltype(&isc_service_query) service_query = nullptr;
    decltype(&isc_sqlcode) sqlcode = nullptr;
    decltype(&fb_interpret) interpret = nullptr;
    decltype(&isc_get_client_version) get_client_version = nullptr;
    // Optional: a client without it has no exit handler of its own to race with.
    decltype(&fb_shutdown) shutdown = nullptr;
};

// The loaded table. Raises Os::Exception naming the library when it cannot be
// loaded, or naming the first entry point it lacks; never crashes.
const TFbClientApi &Client();

// File name given to dlopen: "libfbclient.so.2" unless the environment variable
// DREMLIX_FBCLIENT names another, or SetClientLibraryName was called.
QString ClientLibraryName();
// Chooses the library for the next load and forgets the loaded table (tests point
// it at a wrong name to see the error; the library itself stays mapped).
void SetClientLibraryName(const QString &fileName);
// Whether Client() has loaded a table.
bool ClientLoaded();
// Closes what the client still holds (attachments to a server that went away, its
// threads) while the program is still whole. The client's own exit handler does the same
// when it finds work left, and then runs into objects that exit() has already torn down:
// a crash instead of the run's exit code. Call it after every database object is gone;
// nothing happens when no client was loaded.
void ShutdownClient();
// isc_get_client_version of the loaded client, such as "LI-V3.0.11.33637 Firebird 3.0".
QString ClientVersion();

} // namespace Db
