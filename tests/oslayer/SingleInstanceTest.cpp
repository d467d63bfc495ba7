// The single-instance lock: held while its process lives, gone when the process dies.
#include "ChildProcess.h"

#include "oslayer/SingleInstance.h"

#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Os;

TEST(SingleInstance, TheLockFollowsTheLifeOfItsHolder)
{
    QTemporaryDir runtime;
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    {
        ChildProcess holder(QStringLiteral("--hold-lock"), { QStringLiteral("Setup") });
        ASSERT_TRUE(holder.Ready());
        EXPECT_TRUE(QFileInfo::exists(runtime.path() + QStringLiteral("/Setup.lock")));
        {
            InstanceLock second(QStringLiteral("Setup"));
            EXPECT_TRUE(second.Valid());
            EXPECT_TRUE(second.AlreadyExisted());
            InstanceLock other(QStringLiteral("Other/title"));
            EXPECT_TRUE(other.Valid());
            EXPECT_FALSE(other.AlreadyExisted()) << "another title is another lock";
        }
        holder.Kill(); // no clean-up runs in the holder
        InstanceLock after(QStringLiteral("Setup"));
        EXPECT_TRUE(after.Valid());
        EXPECT_FALSE(after.AlreadyExisted());
    }
    qputenv("XDG_RUNTIME_DIR", saved);
}
