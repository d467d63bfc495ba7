// How long the file dialog takes to list a large folder through its filters (attributes,
// compression flag, extension), and how long the unfiltered host listing takes beside it.
// Usage: bench_dialogs_list [files] [rounds]
#include "dialogs/dlgFileOpenUnit.h"
#include "support/TempPrefix.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QListView>
#include <QTest>
#include <algorithm>
#include <cstdio>

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int files = argc > 1 ? std::max(1, atoi(argv[1])) : 5000;
    const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 5;

    TempPrefix prefix;
    const QString folder = prefix.MakeFolder(QStringLiteral("C:\\Big"));
    for (int i = 0; i < files; ++i) {
        // Half the files are databases, so that the extension filter has work to do.
        QFile file(folder + QStringLiteral("/file%1.%2").arg(i).arg(i % 2 ? QStringLiteral("fdb") : QStringLiteral("txt")));
        if (!file.open(QIODevice::WriteOnly))
            return 1;
    }
    const int expected = files / 2;

    QList<qint64> listing;
    for (int round = 0; round < rounds; ++round) {
        auto *dialog = new TdlgFileOpen();
        dialog->SetRequiredExtension(QStringLiteral(".FDB"));
        dialog->show();
        QElapsedTimer timer;
        timer.start();
        dialog->SetFolder(QStringLiteral("C:\\Big"));
        while (dialog->PTShellList1->model()->rowCount(dialog->PTShellList1->rootIndex()) < expected
               && timer.elapsed() < 60000)
            QTest::qWait(1);
        listing.append(timer.elapsed());
        delete dialog;
    }
    QElapsedTimer host;
    host.start();
    const qsizetype hostCount = QDir(folder).entryList(QDir::Files).size();
    const qint64 hostMs = host.elapsed();

    std::sort(listing.begin(), listing.end());
    std::printf("files in folder: %d, listed (.FDB): %d\n", files, expected);
    std::printf("dialog listing, median of %d rounds: %lld ms (min %lld, max %lld)\n", rounds,
                static_cast<long long>(listing.at(listing.size() / 2)), static_cast<long long>(listing.first()),
                static_cast<long long>(listing.last()));
    std::printf("plain host listing of %lld names: %lld ms\n", static_cast<long long>(hostCount),
                static_cast<long long>(hostMs));
    return 0;
}
