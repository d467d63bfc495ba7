// DSQL statements and queries over XSQLDA, with text blobs.
#include "dbaccess/Statement.h"

#include "dbaccess/Database.h"
#include "dbaccess/DbInternal.h"
#include "dbaccess/Transaction.h"

#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace Db {

using Internal::Check;
using Internal::TStatus;

namespace {

struct TFreeSqlda {
    void operator()(XSQLDA *p) const { std::free(p); }
};
using TSqlda = std::unique_ptr<XSQLDA, TFreeSqlda>;

TSqlda NewSqlda(int count)
{
    const int n = std::max(count, 1);
    auto *p = static_cast<XSQLDA *>(std::calloc(1, XSQLDA_LENGTH(n)));
    if (!p)
        throw std::bad_alloc();
    p->version = SQLDA_VERSION1;
    p->sqln = static_cast<ISC_SHORT>(n);
    return TSqlda(p);
}

// A value buffer aligned for the widest client type.
struct TBuffer {
    std::vector<uint64_t> Words;
    short Indicator = 0;
    char *Data() { return reinterpret_cast<char *>(Words.data()); }
    const char *Data() const { return reinterpret_cast<const char *>(Words.data()); }
    void Resize(size_t bytes) { Words.assign((bytes + 7) / 8 + 1, 0); }
};

struct TParamValue {
    enum TKind { Unset, Null, String, Int, Int64, Double, DateTime, Bytes } Kind = Unset;
    QString Text;
    int64_t Integer = 0;
    double Real = 0;
    QDateTime Stamp;
    QByteArray Raw;
};

// Days between 17 November 1858, day 0 of ISC_DATE, and the Julian day count.
constexpr qint64 kIscDateJulianOffset = 2400001;

ISC_TIMESTAMP EncodeTimestamp(const QDateTime &value)
{
    const QDateTime local = value.timeSpec() == Qt::LocalTime ? value : value.toLocalTime();
    ISC_TIMESTAMP ts;
    ts.timestamp_date = static_cast<ISC_DATE>(local.date().toJulianDay() - kIscDateJulianOffset);
    ts.timestamp_time = static_cast<ISC_TIME>(local.time().msecsSinceStartOfDay()) * 10u;
    return ts;
}

QDate DecodeDate(ISC_DATE date)
{
    return QDate::fromJulianDay(static_cast<qint64>(date) + kIscDateJulianOffset);
}

QTime DecodeTime(ISC_TIME time)
{
    return QTime::fromMSecsSinceStartOfDay(static_cast<int>(time / 10u));
}

bool IsText(int16_t type)
{
    return type == SQL_TEXT || type == SQL_VARYING;
}

int64_t Pow10(int n)
{
    int64_t v = 1;
    while (n-- > 0)
        v *= 10;
    return v;
}

QString ScaledToString(int64_t value, int scale)
{
    if (scale >= 0)
        return QString::number(value * Pow10(scale));
    const int digits = -scale;
    const bool negative = value < 0;
    // Through the unsigned magnitude, so that the most negative value survives.
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    QString text = QString::number(magnitude).rightJustified(digits + 1, u'0');
    text.insert(text.size() - digits, u'.');
    return negative ? u'-' + text : text;
}

[[noreturn]] void ConvertError(const QString &text, const char *what)
{
    throw Os::EConvertError(QStringLiteral("'%1' is not a valid %2").arg(text, QLatin1String(what)));
}

} // namespace

// ---------------------------------------------------------------------------

struct TStatement::TImpl {
    isc_stmt_handle Handle = 0;
    TDatabase *HandleDatabase = nullptr; // the attachment the handle belongs to
    TTransaction *CursorTransaction = nullptr;
    bool Prepared = false;
    QString PreparedText;
    bool PreparedParamCheck = true;
    int StatementType = 0;
    TParsed Parsed;
    TSqlda In;
    TSqlda Out;
    std::vector<XSQLVAR> InDescribed;
    std::vector<TBuffer> InBuffers;
    std::vector<TBuffer> OutBuffers;
    std::vector<TFieldInfo> Fields;
    std::vector<TParamValue> Values;
    bool CursorOpen = false;
    bool Executed = false;
};

struct TQuery::TRow {
    struct TCell {
        bool Null = true;
        QByteArray Raw;
    };
    std::vector<TCell> Cells;
};

// ---------------------------------------------------------------------------
// Parameter parsing

TStatement::TParsed TStatement::ParseParams(const QString &sql)
{
    TParsed result;
    result.Text.reserve(sql.size());
    const qsizetype n = sql.size();
    auto isNameChar = [](QChar c) { return c.isLetterOrNumber() || c == u'_' || c == u'$'; };
    qsizetype i = 0;
    while (i < n) {
        const QChar c = sql[i];
        if (c == u'\'' || c == u'"') {
            // A doubled quote inside is part of the string.
            qsizetype j = i + 1;
            while (j < n) {
                if (sql[j] == c) {
                    if (j + 1 < n && sql[j + 1] == c) {
                        j += 2;
                        continue;
                    }
                    break;
                }
                ++j;
            }
            const qsizetype end = std::min(j + 1, n);
            result.Text += QStringView(sql).mid(i, end - i);
            i = end;
        } else if (c == u'-' && i + 1 < n && sql[i + 1] == u'-') {
            qsizetype j = sql.indexOf(u'\n', i);
            if (j < 0)
                j = n;
            result.Text += QStringView(sql).mid(i, j - i);
            i = j;
        } else if (c == u'/' && i + 1 < n && sql[i + 1] == u'*') {
            qsizetype j = sql.indexOf(QStringLiteral("*/"), i + 2);
            j = j < 0 ? n : j + 2;
            result.Text += QStringView(sql).mid(i, j - i);
            i = j;
        } else if (c == u':' && i + 1 < n && isNameChar(sql[i + 1])) {
            qsizetype j = i + 1;
            while (j < n && isNameChar(sql[j]))
                ++j;
            const QString name = sql.mid(i + 1, j - i - 1);
            qsizetype index = -1;
            for (qsizetype k = 0; k < result.Names.size(); ++k) {
                if (!result.Names[k].isEmpty() && result.Names[k].compare(name, Qt::CaseInsensitive) == 0)
                    index = k;
            }
            if (index < 0) {
                result.Names << name;
                index = result.Names.size() - 1;
            }
            result.Markers.push_back(static_cast<int>(index));
            result.Text += u'?';
            i = j;
        } else if (c == u'?') {
            result.Names << QString();
            result.Markers.push_back(static_cast<int>(result.Names.size() - 1));
            result.Text += u'?';
            ++i;
        } else {
            result.Text += c;
            ++i;
        }
    }
    return result;
}

// ---------------------------------------------------------------------------
// TStatement

TStatement::TStatement() : FImpl(std::make_unique<TImpl>()) {}

TStatement::TStatement(TDatabase *database, TTransaction *transaction) : TStatement()
{
    SetDatabase(database);
    SetTransaction(transaction);
}

TStatement::~TStatement()
{
    RunFreeNotifications();
    try {
        TStatement::Close();
    } catch (...) {
    }
    Unbind();
}

void TStatement::RunFreeNotifications()
{
    auto notifications = std::move(FNotifications);
    FNotifications.clear();
    for (auto &n : notifications) {
        try {
            n.second(this);
        } catch (...) {
            // An owner's register must not stop the destruction.
        }
    }
}

void TStatement::Unbind()
{
    TImpl &d = *FImpl;
    if (FDatabase)
        FDatabase->Detach(this);
    if (d.HandleDatabase)
        d.HandleDatabase->Detach(this);
    if (FTransaction)
        FTransaction->Detach(this);
    if (d.CursorTransaction)
        d.CursorTransaction->Detach(this);
    FDatabase = nullptr;
    FTransaction = nullptr;
    d.HandleDatabase = nullptr;
    d.CursorTransaction = nullptr;
}

void TStatement::AddFreeNotification(const void *key, std::function<void(TStatement *)> handler)
{
    RemoveFreeNotification(key);
    FNotifications.emplace_back(key, std::move(handler));
}

void TStatement::RemoveFreeNotification(const void *key)
{
    std::erase_if(FNotifications, [key](const auto &n) { return n.first == key; });
}

void TStatement::SetDatabase(TDatabase *database)
{
    if (database == FDatabase)
        return;
    TStatement::Close();
    if (FDatabase && FDatabase != FImpl->HandleDatabase)
        FDatabase->Detach(this);
    FDatabase = database;
    if (FDatabase)
        FDatabase->Attach(this);
}

void TStatement::SetTransaction(TTransaction *transaction)
{
    if (transaction == FTransaction)
        return;
    TImpl &d = *FImpl;
    if (d.CursorOpen && d.CursorTransaction == FTransaction)
        Close();
    if (FTransaction && FTransaction != d.CursorTransaction)
        FTransaction->Detach(this);
    FTransaction = transaction;
    if (FTransaction)
        FTransaction->Attach(this);
}

void TStatement::Forget(const TDatabase *database)
{
    TImpl &d = *FImpl;
    if (d.HandleDatabase == database) {
        DatabaseGone();
        d.HandleDatabase = nullptr;
    }
    if (FDatabase == database)
        FDatabase = nullptr;
}

void TStatement::Forget(const TTransaction *transaction)
{
    TImpl &d = *FImpl;
    if (d.CursorTransaction == transaction) {
        TransactionEnded();
        d.CursorTransaction = nullptr;
    }
    if (FTransaction == transaction)
        FTransaction = nullptr;
}

void TStatement::SetSQLText(const QString &text)
{
    FSQL = text.split(QRegularExpression(QStringLiteral("\r\n|\n|\r")));
}

QString TStatement::SQLText() const
{
    return FSQL.join(QStringLiteral("\r\n"));
}

TDatabase *TStatement::EffectiveDatabase() const
{
    if (FDatabase)
        return FDatabase;
    return FTransaction ? FTransaction->DefaultDatabase() : nullptr;
}

TTransaction *TStatement::EffectiveTransaction() const
{
    if (FTransaction)
        return FTransaction;
    TDatabase *db = EffectiveDatabase();
    return db ? db->DefaultTransaction() : nullptr;
}

void TStatement::CheckReady() const
{
    const QString who = FName.isEmpty() ? QString() : FName + QStringLiteral(": ");
    TDatabase *db = EffectiveDatabase();
    if (!db)
        throw EDatabaseError(who + QStringLiteral("no database"));
    TTransaction *tr = EffectiveTransaction();
    if (!tr)
        throw EDatabaseError(who + QStringLiteral("no transaction"));
    if (!tr->Active())
        throw EDatabaseError(who + QStringLiteral("transaction not active"));
    if (tr->DefaultDatabase() != db)
        throw EDatabaseError(who + QStringLiteral("the transaction runs on another database"));
    if (!db->Connected())
        throw EDatabaseError(who + QStringLiteral("database not connected"));
}

// --- parameters

namespace {
void Store(std::vector<TParamValue> &values, int index, TParamValue value)
{
    if (index < 0)
        throw EDatabaseError(QStringLiteral("Parameter index %1 out of range").arg(index));
    if (static_cast<size_t>(index) >= values.size())
        values.resize(index + 1);
    values[index] = std::move(value);
}
} // namespace

void TStatement::SetParamString(int index, const QString &value)
{
    Store(FImpl->Values, index, { .Kind = TParamValue::String, .Text = value });
}

void TStatement::SetParamInt(int index, int32_t value)
{
    Store(FImpl->Values, index, { .Kind = TParamValue::Int, .Integer = value });
}

void TStatement::SetParamInt64(int index, int64_t value)
{
    Store(FImpl->Values, index, { .Kind = TParamValue::Int64, .Integer = value });
}

void TStatement::SetParamDouble(int index, double value)
{
    Store(FImpl->Values, index, { .Kind = TParamValue::Double, .Real = value });
}

void TStatement::SetParamDateTime(int index, const QDateTime &value)
{
    if (!value.isValid())
        SetParamNull(index);
    else
        Store(FImpl->Values, index, { .Kind = TParamValue::DateTime, .Stamp = value });
}

void TStatement::SetParamBytes(int index, const QByteArray &value)
{
    Store(FImpl->Values, index, { .Kind = TParamValue::Bytes, .Raw = value });
}

void TStatement::SetParamNull(int index) { Store(FImpl->Values, index, { .Kind = TParamValue::Null }); }

void TStatement::SetParamVariant(int index, const QVariant &value)
{
    if (!value.isValid() || value.isNull()) {
        SetParamNull(index);
        return;
    }
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        SetParamInt(index, value.toInt());
        break;
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::Long:
    case QMetaType::ULong:
        SetParamInt64(index, value.toLongLong());
        break;
    case QMetaType::ULongLong: {
        const qulonglong u = value.toULongLong();
        if (u > static_cast<qulonglong>(std::numeric_limits<int64_t>::max()))
            throw Os::EConvertError(QStringLiteral("Parameter value %1 is too large").arg(u));
        SetParamInt64(index, static_cast<int64_t>(u));
        break;
    }
    case QMetaType::Double:
    case QMetaType::Float:
        SetParamDouble(index, value.toDouble());
        break;
    case QMetaType::Bool:
        SetParamString(index, value.toBool() ? QStringLiteral("T") : QStringLiteral("F"));
        break;
    case QMetaType::QDateTime:
        SetParamDateTime(index, value.toDateTime());
        break;
    case QMetaType::QDate:
        SetParamDateTime(index, QDateTime(value.toDate(), QTime(0, 0)));
        break;
    case QMetaType::QByteArray:
        SetParamBytes(index, value.toByteArray());
        break;
    default:
        SetParamString(index, value.toString());
        break;
    }
}

void TStatement::ClearParams()
{
    FImpl->Values.clear();
}

QStringList TStatement::ParamNames() const
{
    const QString text = SQLText();
    if (FParamCheck)
        return ParseParams(text).Names;
    // Without parsing, the server's own "?" markers count.
    const TParsed parsed = ParseParams(text);
    QStringList names;
    for (const QString &n : parsed.Names) {
        if (n.isEmpty())
            names << n;
    }
    return names;
}

int TStatement::ParamIndex(const QString &name) const
{
    const QStringList names = ParamNames();
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (!names[i].isEmpty() && names[i].compare(name, Qt::CaseInsensitive) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

// --- prepare and execute

bool TStatement::Prepared() const
{
    return FImpl->Prepared;
}

void TStatement::Prepare()
{
    CheckReady();
    TImpl &d = *FImpl;
    TDatabase *db = EffectiveDatabase();
    TTransaction *tr = EffectiveTransaction();
    if (d.Prepared && d.HandleDatabase == db && d.PreparedText == SQLText() &&
        d.PreparedParamCheck == FParamCheck)
        return;
    TStatement::Close();

    const QString text = SQLText();
    if (FParamCheck) {
        d.Parsed = ParseParams(text);
    } else {
        d.Parsed = TParsed();
        d.Parsed.Text = text;
        const TParsed markers = ParseParams(text);
        int k = 0;
        for (const QString &n : markers.Names) {
            if (n.isEmpty())
                d.Parsed.Markers.push_back(k++);
        }
    }
    const QByteArray sql = db->EncodeText(d.Parsed.Text);
    if (sql.trimmed().isEmpty())
        throw EDatabaseError(QStringLiteral("Empty SQL statement"));

    const TFbClientApi &api = Client();
    TStatus status;
    api.dsql_allocate_statement(&status, db->Handle(), &d.Handle);
    Check(status, db);
    d.HandleDatabase = db;
    db->Attach(this);

    try {
        d.Out = NewSqlda(16);
        api.dsql_prepare(&status, tr->Handle(), &d.Handle, 0, sql.constData(),
                         static_cast<unsigned short>(db->SQLDialect()), d.Out.get());
        Check(status, db);
        if (d.Out->sqld > d.Out->sqln) {
            d.Out = NewSqlda(d.Out->sqld);
            api.dsql_describe(&status, &d.Handle, 1, d.Out.get());
            Check(status, db);
        }
        d.In = NewSqlda(16);
        api.dsql_describe_bind(&status, &d.Handle, 1, d.In.get());
        Check(status, db);
        if (d.In->sqld > d.In->sqln) {
            d.In = NewSqlda(d.In->sqld);
            api.dsql_describe_bind(&status, &d.Handle, 1, d.In.get());
            Check(status, db);
        }

        const char typeItem[] = {isc_info_sql_stmt_type};
        char reply[16] = {};
        api.dsql_sql_info(&status, &d.Handle, sizeof typeItem, typeItem, sizeof reply, reply);
        Check(status, db);
        d.StatementType = reply[0] == isc_info_sql_stmt_type
                              ? static_cast<int>(Internal::ReadLE(reply + 3, static_cast<int>(Internal::ReadLE(reply + 1, 2))))
                              : 0;

        d.Fields.clear();
        d.OutBuffers.assign(d.Out->sqld, TBuffer());
        for (int i = 0; i < d.Out->sqld; ++i) {
            XSQLVAR &v = d.Out->sqlvar[i];
            TFieldInfo f;
            f.Name = db->DecodeText(v.aliasname, v.aliasname_length);
            f.RelationName = db->DecodeText(v.relname, v.relname_length);
            f.SqlType = static_cast<int16_t>(v.sqltype & ~1);
            f.SubType = v.sqlsubtype;
            f.Scale = v.sqlscale;
            f.Length = v.sqllen;
            f.Nullable = (v.sqltype & 1) != 0;
            d.Fields.push_back(f);
            TBuffer &b = d.OutBuffers[i];
            b.Resize(static_cast<size_t>(v.sqllen) + (f.SqlType == SQL_VARYING ? 2 : 0));
            v.sqltype = static_cast<ISC_SHORT>(f.SqlType | 1);
            v.sqldata = b.Data();
            v.sqlind = &b.Indicator;
        }
        d.InDescribed.assign(d.In->sqlvar, d.In->sqlvar + d.In->sqld);
        d.InBuffers.assign(d.In->sqld, TBuffer());
    } catch (...) {
        TStatement::Close();
        throw;
    }
    d.Prepared = true;
    d.PreparedText = text;
    d.PreparedParamCheck = FParamCheck;
}

namespace {

// Writes a blob in the transaction and returns its id.
ISC_QUAD WriteBlob(TDatabase *db, TTransaction *tr, const QByteArray &bytes)
{
    const TFbClientApi &api = Client();
    TStatus status;
    isc_blob_handle blob = 0;
    ISC_QUAD id = {};
    api.create_blob2(&status, db->Handle(), tr->Handle(), &blob, &id, 0, nullptr);
    Check(status, db);
    constexpr qsizetype kSegment = 32768;
    for (qsizetype pos = 0; pos < bytes.size(); pos += kSegment) {
        const qsizetype len = std::min(kSegment, bytes.size() - pos);
        api.put_segment(&status, &blob, static_cast<unsigned short>(len), bytes.constData() + pos);
        if (status.Failed()) {
            const EDatabaseError error = Internal::MakeError(status, db);
            TStatus ignored;
            api.cancel_blob(&ignored, &blob);
            throw error;
        }
    }
    api.close_blob(&status, &blob);
    Check(status, db);
    return id;
}

QByteArray ReadBlob(TDatabase *db, TTransaction *tr, ISC_QUAD id)
{
    const TFbClientApi &api = Client();
    TStatus status;
    isc_blob_handle blob = 0;
    api.open_blob2(&status, db->Handle(), tr->Handle(), &blob, &id, 0, nullptr);
    Check(status, db);
    QByteArray out;
    char buffer[32768];
    for (;;) {
        unsigned short got = 0;
        const ISC_STATUS rc = api.get_segment(&status, &blob, &got, sizeof buffer, buffer);
        if (rc != 0 && rc != isc_segment) {
            if (rc == isc_segstr_eof)
                break;
            const EDatabaseError error = Internal::MakeError(status, db);
            TStatus ignored;
            api.close_blob(&ignored, &blob);
            throw error;
        }
        out.append(buffer, got);
    }
    api.close_blob(&status, &blob);
    Check(status, db);
    return out;
}

} // namespace

void TStatement::ExecuteCursor(bool openCursor)
{
    Prepare();
    TImpl &d = *FImpl;
    TDatabase *db = EffectiveDatabase();
    TTransaction *tr = EffectiveTransaction();
    const TFbClientApi &api = Client();

    if (d.CursorOpen) {
        TStatus status;
        api.dsql_free_statement(&status, &d.Handle, DSQL_close);
        d.CursorOpen = false;
    }

    // Bind: each marker of the text takes the value of its parameter, typed by the
    // value; the server converts to the column's type.
    for (int i = 0; i < d.In->sqld; ++i) {
        XSQLVAR &v = d.In->sqlvar[i];
        const XSQLVAR &described = d.InDescribed[i];
        TBuffer &b = d.InBuffers[i];
        const int valueIndex = i < static_cast<int>(d.Parsed.Markers.size()) ? d.Parsed.Markers[i] : i;
        static const TParamValue kUnset;
        const TParamValue &value =
            valueIndex < static_cast<int>(d.Values.size()) ? d.Values[valueIndex] : kUnset;
        const auto describedType = static_cast<int16_t>(described.sqltype & ~1);
        v = described;
        v.sqlind = &b.Indicator;
        b.Indicator = 0;
        auto setBytes = [&](int16_t type, const QByteArray &bytes) {
            if (bytes.size() > std::numeric_limits<ISC_SHORT>::max())
                throw EDatabaseError(QStringLiteral("Parameter %1 is too long (%2 bytes)").arg(valueIndex).arg(bytes.size()));
            b.Resize(static_cast<size_t>(bytes.size()));
            std::memcpy(b.Data(), bytes.constData(), static_cast<size_t>(bytes.size()));
            v.sqltype = static_cast<ISC_SHORT>(type | 1);
            v.sqllen = static_cast<ISC_SHORT>(bytes.size());
            v.sqlscale = 0;
            if (!IsText(describedType))
                v.sqlsubtype = 0;
            v.sqldata = b.Data();
        };
        auto setBlob = [&](const QByteArray &bytes) {
            const ISC_QUAD id = WriteBlob(db, tr, bytes);
            b.Resize(sizeof id);
            std::memcpy(b.Data(), &id, sizeof id);
            v.sqltype = SQL_BLOB | 1;
            v.sqllen = sizeof id;
            v.sqldata = b.Data();
        };
        auto setNumber = [&](int16_t type, const void *p, size_t size) {
            b.Resize(size);
            std::memcpy(b.Data(), p, size);
            v.sqltype = static_cast<ISC_SHORT>(type | 1);
            v.sqllen = static_cast<ISC_SHORT>(size);
            v.sqlscale = 0;
            v.sqlsubtype = 0;
            v.sqldata = b.Data();
        };
        switch (value.Kind) {
        case TParamValue::Unset:
        case TParamValue::Null:
            b.Resize(std::max<size_t>(static_cast<size_t>(described.sqllen), 8));
            v.sqltype = static_cast<ISC_SHORT>(describedType | 1);
            v.sqldata = b.Data();
            b.Indicator = -1;
            break;
        case TParamValue::String:
            if (describedType == SQL_BLOB)
                setBlob(db->EncodeText(value.Text));
            else
                setBytes(SQL_TEXT, db->EncodeText(value.Text));
            break;
        case TParamValue::Bytes:
            if (describedType == SQL_BLOB)
                setBlob(value.Raw);
            else
                setBytes(SQL_TEXT, value.Raw);
            break;
        case TParamValue::Int:
        case TParamValue::Int64:
        case TParamValue::Double: {
            // A number for a blob column goes as its text.
            if (describedType == SQL_BLOB) {
                setBlob(value.Kind == TParamValue::Double
                        ? QByteArray::number(value.Real, 'g', 17)
                        : QByteArray::number(static_cast<qlonglong>(value.Integer)));
            } else if (value.Kind == TParamValue::Int) {
                const auto n = static_cast<ISC_LONG>(value.Integer);
                setNumber(SQL_LONG, &n, sizeof n);
            } else if (value.Kind == TParamValue::Int64) {
                const auto n = static_cast<ISC_INT64>(value.Integer);
                setNumber(SQL_INT64, &n, sizeof n);
            } else {
                setNumber(SQL_DOUBLE, &value.Real, sizeof value.Real);
            }
            break;
        }
        case TParamValue::DateTime: {
            const ISC_TIMESTAMP ts = EncodeTimestamp(value.Stamp);
            setNumber(SQL_TIMESTAMP, &ts, sizeof ts);
            break;
        }
        }
    }

    TStatus status;
    const bool select = d.StatementType == isc_info_sql_stmt_select ||
                        d.StatementType == isc_info_sql_stmt_select_for_upd;
    if (!select && d.Out->sqld > 0) {
        // EXECUTE PROCEDURE and RETURNING give their one row at once.
        api.dsql_execute2(&status, tr->Handle(), &d.Handle, 1, d.In.get(), d.Out.get());
    } else {
        api.dsql_execute(&status, tr->Handle(), &d.Handle, 1, d.In.get());
    }
    Check(status, db);
    d.Executed = true;
    if (select) {
        if (openCursor) {
            d.CursorOpen = true;
            if (d.CursorTransaction != tr) {
                if (d.CursorTransaction && d.CursorTransaction != FTransaction)
                    d.CursorTransaction->Detach(this);
                d.CursorTransaction = tr;
                tr->Attach(this);
            }
        } else {
            api.dsql_free_statement(&status, &d.Handle, DSQL_close);
            Check(status, db);
        }
    }
}

void TStatement::Execute()
{
    ExecuteCursor(false);
}

int TStatement::RowsAffected()
{
    TImpl &d = *FImpl;
    if (!d.Prepared || !d.Executed || !d.HandleDatabase || !d.HandleDatabase->Connected())
        return 0;
    const char items[] = {isc_info_sql_records};
    char reply[64] = {};
    TStatus status;
    Client().dsql_sql_info(&status, &d.Handle, sizeof items, items, sizeof reply, reply);
    Check(status, d.HandleDatabase);
    if (reply[0] != isc_info_sql_records)
        return 0;
    const int length = static_cast<int>(Internal::ReadLE(reply + 1, 2));
    const char *p = reply + 3;
    const char *end = std::min<const char *>(p + length, reply + sizeof reply);
    int total = 0;
    while (p + 3 <= end && *p != isc_info_end) {
        const char item = *p;
        const int itemLength = static_cast<int>(Internal::ReadLE(p + 1, 2));
        const auto count = static_cast<int>(Internal::ReadLE(p + 3, itemLength));
        if (item == isc_info_req_insert_count || item == isc_info_req_update_count ||
            item == isc_info_req_delete_count)
            total += count;
        p += 3 + itemLength;
    }
    return total;
}

void TStatement::Close()
{
    TImpl &d = *FImpl;
    if (d.Handle != 0 && d.HandleDatabase && d.HandleDatabase->Connected()) {
        TStatus status;
        Client().dsql_free_statement(&status, &d.Handle, DSQL_drop);
    }
    // Freed or not, the handle is forgotten as when its attachment goes.
    TStatement::DatabaseGone();
    if (d.HandleDatabase && d.HandleDatabase != FDatabase)
        d.HandleDatabase->Detach(this);
    d.HandleDatabase = nullptr;
}

void TStatement::TransactionEnded()
{
    FImpl->CursorOpen = false;
}

void TStatement::DatabaseGone()
{
    TImpl &d = *FImpl;
    d.Handle = 0;
    d.Prepared = false;
    d.CursorOpen = false;
    d.Executed = false;
    d.PreparedText.clear();
}

// ---------------------------------------------------------------------------
// TQuery

TQuery::TQuery() = default;

TQuery::TQuery(TDatabase *database, TTransaction *transaction) : TStatement(database, transaction) {}

TQuery::~TQuery()
{
    RunFreeNotifications();
}

void TQuery::Open()
{
    Close();
    ExecuteCursor(true);
    FActive = true;
    FSingleRow = false;
    FEof = false;
    FRecNo = 0;
    FFetched = 0;
    FRows.clear();
    TImpl &d = Impl();
    const bool select = d.StatementType == isc_info_sql_stmt_select ||
                        d.StatementType == isc_info_sql_stmt_select_for_upd;
    if (!select && d.Out->sqld > 0) {
        // The single row of an EXECUTE PROCEDURE is already in the buffers.
        FRows.push_back(RowOfBuffers(EffectiveDatabase(), EffectiveTransaction()));
        FFetched = 1;
        FRecNo = 1;
        FSingleRow = true;
        return;
    }
    if (!select) {
        FEof = true;
        return;
    }
    try {
        FetchOne();
    } catch (...) {
        Close();
        throw;
    }
}

TQuery::TRow TQuery::RowOfBuffers(TDatabase *db, TTransaction *tr) const
{
    const TImpl &d = Impl();
    TRow row;
    row.Cells.resize(d.Out->sqld);
    for (int i = 0; i < d.Out->sqld; ++i) {
        TRow::TCell &cell = row.Cells[i];
        const TBuffer &b = d.OutBuffers[i];
        const TFieldInfo &f = d.Fields[i];
        cell.Null = b.Indicator < 0;
        if (cell.Null)
            continue;
        switch (f.SqlType) {
        case SQL_VARYING:
            cell.Raw = QByteArray(b.Data() + 2, static_cast<int>(Internal::ReadLE(b.Data(), 2)));
            break;
        case SQL_BLOB: {
            ISC_QUAD id;
            std::memcpy(&id, b.Data(), sizeof id);
            cell.Raw = ReadBlob(db, tr, id);
            break;
        }
        default:
            cell.Raw = QByteArray(b.Data(), f.Length);
            break;
        }
    }
    return row;
}

void TQuery::FetchOne()
{
    TImpl &d = Impl();
    if (FSingleRow) {
        FEof = true;
        return;
    }
    if (!d.CursorOpen) {
        // The server closed the cursor with its transaction: ending quietly here would
        // pass a cut result off as the whole one.
        throw EDatabaseError(QStringLiteral("The query's transaction has ended; no more rows can be read")
            + (Name().isEmpty() ? QString() : QStringLiteral(" (") + Name() + u')'));
    }
    TDatabase *db = d.HandleDatabase;
    TTransaction *tr = d.CursorTransaction;
    TStatus status;
    const ISC_STATUS rc = Client().dsql_fetch(&status, &d.Handle, 1, d.Out.get());
    if (rc == 100) {
        FEof = true;
        return;
    }
    Check(status, db);
    TRow row = RowOfBuffers(db, tr);
    ++FFetched;
    if (FForwardOnly) {
        FRows.clear();
        FRows.push_back(std::move(row));
    } else {
        FRows.push_back(std::move(row));
    }
    FRecNo = FFetched;
}

void TQuery::Next()
{
    if (!FActive || FEof)
        return;
    if (!FForwardOnly && FRecNo < FFetched) {
        ++FRecNo;
        return;
    }
    FetchOne();
}

void TQuery::First()
{
    if (!FActive)
        throw EDatabaseError(QStringLiteral("Query not open"));
    if (FForwardOnly && FRecNo > 1)
        throw EDatabaseError(QStringLiteral("A forward-only query cannot go back to its first row"));
    if (FFetched > 0) {
        FRecNo = 1;
        FEof = false;
    }
}

void TQuery::Close()
{
    TImpl &d = Impl();
    if (d.CursorOpen && d.HandleDatabase && d.HandleDatabase->Connected()) {
        TStatus status;
        Client().dsql_free_statement(&status, &d.Handle, DSQL_close);
    }
    ForgetRows();
}

void TQuery::ForgetRows()
{
    Impl().CursorOpen = false;
    FActive = false;
    FEof = true;
    FRecNo = 0;
    FFetched = 0;
    FRows.clear();
}

void TQuery::DiscardLocal()
{
    ForgetRows();
    TStatement::DatabaseGone();
    Impl().Fields.clear();
}

void TQuery::TransactionEnded()
{
    // The server closed the cursor with its transaction; the rows read stay readable.
    TStatement::TransactionEnded();
}

void TQuery::DatabaseGone()
{
    TStatement::DatabaseGone();
}

int TQuery::FieldCount() const
{
    return static_cast<int>(Impl().Fields.size());
}

const TFieldInfo &TQuery::Field(int index) const
{
    const auto &fields = Impl().Fields;
    if (index < 0 || index >= static_cast<int>(fields.size()))
        throw EDatabaseError(QStringLiteral("Field index %1 out of range").arg(index));
    return fields[index];
}

QString TQuery::FieldName(int index) const
{
    return Field(index).Name;
}

QStringList TQuery::FieldNames() const
{
    QStringList names;
    for (const TFieldInfo &f : Impl().Fields)
        names << f.Name;
    return names;
}

int TQuery::FieldIndex(const QString &name) const
{
    const auto &fields = Impl().Fields;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].Name.compare(name, Qt::CaseInsensitive) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

const TQuery::TRow &TQuery::CurrentRow() const
{
    if (!FActive || FRecNo < 1 || FRows.empty())
        throw EDatabaseError(QStringLiteral("No current record") +
                             (Name().isEmpty() ? QString() : QStringLiteral(" (") + Name() + u')'));
    return FForwardOnly ? FRows.back() : FRows[static_cast<size_t>(FRecNo - 1)];
}

bool TQuery::IsNull(int index) const
{
    Field(index);
    return CurrentRow().Cells[static_cast<size_t>(index)].Null;
}

namespace {

int64_t RawInteger(const QByteArray &raw, int16_t type)
{
    switch (type) {
    case SQL_SHORT: {
        int16_t v;
        std::memcpy(&v, raw.constData(), sizeof v);
        return v;
    }
    case SQL_LONG: {
        int32_t v;
        std::memcpy(&v, raw.constData(), sizeof v);
        return v;
    }
    case SQL_INT64: {
        int64_t v;
        std::memcpy(&v, raw.constData(), sizeof v);
        return v;
    }
    default:
        return 0;
    }
}

double RawDouble(const QByteArray &raw, int16_t type)
{
    if (type == SQL_FLOAT) {
        float v;
        std::memcpy(&v, raw.constData(), sizeof v);
        return v;
    }
    double v;
    std::memcpy(&v, raw.constData(), sizeof v);
    return v;
}

bool IsInteger(int16_t type)
{
    return type == SQL_SHORT || type == SQL_LONG || type == SQL_INT64;
}

} // namespace

QByteArray TQuery::AsBytes(int index) const
{
    Field(index);
    return CurrentRow().Cells[static_cast<size_t>(index)].Raw;
}

QString TQuery::AsString(int index) const
{
    const TFieldInfo &f = Field(index);
    const TRow::TCell &cell = CurrentRow().Cells[static_cast<size_t>(index)];
    if (cell.Null)
        return QString();
    const QByteArray &raw = cell.Raw;
    const TDatabase *db = Impl().HandleDatabase ? Impl().HandleDatabase : EffectiveDatabase();
    auto decode = [&](const QByteArray &bytes) {
        return db ? db->DecodeText(bytes.constData(), static_cast<int>(bytes.size()))
                  : Internal::FromCp1252(bytes.constData(), static_cast<int>(bytes.size()));
    };
    switch (f.SqlType) {
    case SQL_TEXT:
    case SQL_VARYING:
    case SQL_BLOB:
        return decode(raw);
    case SQL_SHORT:
    case SQL_LONG:
    case SQL_INT64:
        return ScaledToString(RawInteger(raw, f.SqlType), f.Scale);
    case SQL_FLOAT:
        return QString::number(RawDouble(raw, f.SqlType), 'g', 7);
    case SQL_DOUBLE:
        return QString::number(RawDouble(raw, f.SqlType), 'g', 15);
    case SQL_TIMESTAMP:
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIME: {
        const QDateTime dt = AsDateTime(index);
        if (f.SqlType == SQL_TYPE_DATE)
            return dt.date().toString(QStringLiteral("yyyy-MM-dd"));
        if (f.SqlType == SQL_TYPE_TIME)
            return dt.time().toString(QStringLiteral("hh:mm:ss"));
        return dt.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    }
    case SQL_BOOLEAN:
        return raw.at(0) ? QStringLiteral("True") : QStringLiteral("False");
    default:
        return decode(raw);
    }
}

int64_t TQuery::AsInt64(int index) const
{
    const TFieldInfo &f = Field(index);
    const TRow::TCell &cell = CurrentRow().Cells[static_cast<size_t>(index)];
    if (cell.Null)
        return 0;
    if (IsInteger(f.SqlType)) {
        const int64_t v = RawInteger(cell.Raw, f.SqlType);
        if (f.Scale >= 0)
            return v * Pow10(f.Scale);
        const int64_t div = Pow10(-f.Scale);
        // Round half away from zero, as the runtime rounds a currency to an integer.
        const int64_t q = v / div;
        const int64_t r = v % div;
        if (2 * std::llabs(r) >= div)
            return v < 0 ? q - 1 : q + 1;
        return q;
    }
    if (f.SqlType == SQL_FLOAT || f.SqlType == SQL_DOUBLE)
        return std::llround(RawDouble(cell.Raw, f.SqlType));
    if (f.SqlType == SQL_BOOLEAN)
        return cell.Raw.at(0) ? 1 : 0;
    const QString text = AsString(index).trimmed();
    bool ok = false;
    const qlonglong v = text.toLongLong(&ok);
    if (!ok)
        ConvertError(text, "integer value");
    return v;
}

int32_t TQuery::AsInteger(int index) const
{
    const int64_t v = AsInt64(index);
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
        ConvertError(QString::number(v), "32-bit integer value");
    return static_cast<int32_t>(v);
}

double TQuery::AsDouble(int index) const
{
    const TFieldInfo &f = Field(index);
    const TRow::TCell &cell = CurrentRow().Cells[static_cast<size_t>(index)];
    if (cell.Null)
        return 0;
    if (IsInteger(f.SqlType))
        return static_cast<double>(RawInteger(cell.Raw, f.SqlType)) / std::pow(10.0, -f.Scale);
    if (f.SqlType == SQL_FLOAT || f.SqlType == SQL_DOUBLE)
        return RawDouble(cell.Raw, f.SqlType);
    const QString text = AsString(index).trimmed();
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok)
        ConvertError(text, "floating point value");
    return v;
}

QDateTime TQuery::AsDateTime(int index) const
{
    const TFieldInfo &f = Field(index);
    const TRow::TCell &cell = CurrentRow().Cells[static_cast<size_t>(index)];
    if (cell.Null)
        return QDateTime();
    switch (f.SqlType) {
    case SQL_TIMESTAMP: {
        ISC_TIMESTAMP ts;
        std::memcpy(&ts, cell.Raw.constData(), sizeof ts);
        return QDateTime(DecodeDate(ts.timestamp_date), DecodeTime(ts.timestamp_time));
    }
    case SQL_TYPE_DATE: {
        ISC_DATE date;
        std::memcpy(&date, cell.Raw.constData(), sizeof date);
        return QDateTime(DecodeDate(date), QTime(0, 0));
    }
    case SQL_TYPE_TIME: {
        ISC_TIME time;
        std::memcpy(&time, cell.Raw.constData(), sizeof time);
        // A time alone is a time of day 0 of the Delphi calendar, 30 December 1899.
        return QDateTime(QDate(1899, 12, 30), DecodeTime(time));
    }
    case SQL_TEXT:
    case SQL_VARYING: {
        const QString text = AsString(index).trimmed();
        for (const QString &format : {QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"), QStringLiteral("yyyy-MM-dd hh:mm:ss"),
                                      QStringLiteral("yyyy-MM-dd hh:mm"), QStringLiteral("yyyy-MM-dd")}) {
            QDateTime dt = QDateTime::fromString(text, format);
            if (dt.isValid())
                return dt;
        }
        ConvertError(text, "date and time");
    }
    default:
        ConvertError(AsString(index), "date and time");
    }
}

QVariant TQuery::AsVariant(int index) const
{
    const TFieldInfo &f = Field(index);
    const TRow::TCell &cell = CurrentRow().Cells[static_cast<size_t>(index)];
    if (cell.Null)
        return QVariant();
    switch (f.SqlType) {
    case SQL_TEXT:
    case SQL_VARYING:
        return AsString(index);
    case SQL_BLOB:
        return f.SubType == 1 ? QVariant(AsString(index)) : QVariant(cell.Raw);
    case SQL_SHORT:
    case SQL_LONG:
        return f.Scale == 0 ? QVariant(static_cast<int>(RawInteger(cell.Raw, f.SqlType))) : QVariant(AsDouble(index));
    case SQL_INT64:
        return f.Scale == 0 ? QVariant(static_cast<qlonglong>(RawInteger(cell.Raw, f.SqlType)))
                            : QVariant(AsDouble(index));
    case SQL_FLOAT:
    case SQL_DOUBLE:
        return AsDouble(index);
    case SQL_TIMESTAMP:
        return AsDateTime(index);
    case SQL_TYPE_DATE:
        return AsDateTime(index).date();
    case SQL_TYPE_TIME:
        return AsDateTime(index).time();
    case SQL_BOOLEAN:
        return cell.Raw.at(0) != 0;
    default:
        return cell.Raw;
    }
}

} // namespace Db
