// The connect sequence on the private test server: ConnectAsDremlix (client check,
// attach, services version query, identity read, free-space query, registration) up to
// Disconnect (unregistration, detach). Median of 50 runs in milliseconds.
#include "bench_common_setup.h"

#include <QCoreApplication>
#include <QElapsedTimer>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::atoi(argv[1]) : 50;
    BenchCommon::Environment env;
    const QString file = env.CreateDatabase(QStringLiteral("bench_connect"));

    for (const bool local : { false, true }) {
        auto module = env.Module(file);
        if (local)
            module->SetParams(QStringLiteral("Y:\\") + file, QString(), QString(), QString());
        // One run outside the figures: the client library and the server's caches warm up.
        module->ConnectAsDremlix();
        module->Disconnect();
        std::vector<double> ms;
        for (int i = 0; i < runs; ++i) {
            QElapsedTimer timer;
            timer.start();
            module->ConnectAsDremlix();
            module->Disconnect();
            ms.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
        }
        std::printf("connect sequence %s: median %.2f ms, min %.2f ms, max %.2f ms over %d runs\n",
            local ? "local (embedded engine)" : "TCP/IP (test server)", BenchCommon::Median(ms),
            *std::min_element(ms.begin(), ms.end()), *std::max_element(ms.begin(), ms.end()), runs);
    }
    return 0;
}
