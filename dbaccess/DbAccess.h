// The whole database access layer, for units that use most of it.
#pragma once

#include "dbaccess/Database.h"
#include "dbaccess/DbError.h"
#include "dbaccess/FbClient.h"
#include "dbaccess/Services.h"
#include "dbaccess/Statement.h"
#include "dbaccess/Transaction.h"
