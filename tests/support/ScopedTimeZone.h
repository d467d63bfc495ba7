// Puts the process in a time zone of the test's choosing (a POSIX TZ value, which needs no
// zone database: "<+0530>-5:30" is five and a half hours east of UTC) and restores the
// previous one at the end of the scope.
#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <ctime>

class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char *tz)
        : FHad(qEnvironmentVariableIsSet("TZ"))
        , FPrevious(qgetenv("TZ"))
    {
        qputenv("TZ", tz);
        ::tzset();
    }
    ~ScopedTimeZone()
    {
        if (FHad)
            qputenv("TZ", FPrevious);
        else
            qunsetenv("TZ");
        ::tzset();
    }
    ScopedTimeZone(const ScopedTimeZone &) = delete;
    ScopedTimeZone &operator=(const ScopedTimeZone &) = delete;

    // The zone's offset from UTC in force now, in seconds east, as the C library tells it.
    static long OffsetNow()
    {
        const std::time_t now = std::time(nullptr);
        std::tm local {};
        ::localtime_r(&now, &local);
        return local.tm_gmtoff;
    }

private:
    bool FHad;
    QByteArray FPrevious;
};
