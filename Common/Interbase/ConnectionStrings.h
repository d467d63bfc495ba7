// How a connection string names its database: the protocol it implies, and its
// server and file parts as the services API wants them.
#pragma once

#include <QString>

enum TConnectionType { ibctUnknown, ibctLocal, ibctTCPIP, ibctNetBEUI, ibctUNIX, ibctNetWare };

// The protocol a connection string implies. The empty string counts as TCP/IP, so
// that a missing configuration is refused by the connect sequence with its own text
// rather than by the services layer.
TConnectionType GetConnectionType(const QString &connectionString);

// Server and file parts of a local, TCP/IP or NetBEUI string; any other kind raises
// "error 0203130939" (the services API cannot be reached for it).
void SplitConnectionString(const QString &connectionString, QString &serverName, QString &fileName);

// The drive letter of the database file, as the server's free-space function wants it;
// raises "0312181326" when the string carries none.
QString DatabaseDriveLetter(const QString &connectionString);

// The host's path of a file of the prefix named by a Windows path, which the embedded
// engine and the local service manager want; the text unchanged when no drive maps it.
QString LocalFileName(const QString &windowsPath);
// What the client attaches for a connection string: a local one names a file of the
// prefix; every other form goes to the server as it stands.
QString AttachName(const QString &connectionString);
