// A temporary prefix with drives, hives and a temporary folder of its own, a wizard whose
// payload each test chooses, the scripted person, and the engine with its report bound.
#pragma once

#include "support/ScriptedUiServices.h"
#include "support/PayloadBuilder.h"
#include "support/TempPrefix.h"

#include "oslayer/Registry.h"
#include "update/dmUpdateCommonUnit.h"
#include "update/UpdateReport.h"

#include <QTextDocument>
#include <gtest/gtest.h>
#include <memory>

class UpdateFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // A fresh prefix and payload for the next case of a table.
    void Reset();

    // A drive of the prefix: letter, host folder below the test's folder, type ("hd",
    // "network", "cdrom"; empty for no value).
    void AddDrive(QChar letter, const QString &type = QString());
    // A drive whose link points at a host folder of the caller's choosing.
    void AddDriveAt(QChar letter, const QString &hostFolder);
    QString Host(const QString &windowsPath) const;
    void WriteFile(const QString &windowsPath, const QByteArray &data);
    QByteArray ReadFile(const QString &windowsPath) const;
    bool Exists(const QString &windowsPath) const;
    // A PE file with a version resource major.minor.release.build.
    // The FileVersion string is the four numbers unless versionText says otherwise.
    static QByteArray PeFile(uint16_t major, uint16_t minor = 0, uint16_t release = 0, uint16_t build = 0,
        const QString &versionText = QString());
    void WritePe(const QString &windowsPath, uint16_t major, uint16_t minor = 0, uint16_t release = 0,
        uint16_t build = 0);
    void SetRegString(Os::RegRoot root, const QString &key, const QString &name, const QString &value);
    QString RegString(Os::RegRoot root, const QString &key, const QString &name) const;
    // Registers Orvanta's program file under C:\WDremlix\ORV\Programs\ and creates it.
    void InstallOrvanta(uint16_t major = 5);

    // Writes the wizard of the payload as this process's own executable (on drive Z:,
    // or on the drive given) and creates the engine with the report bound.
    void StartEngine(uint8_t productCode, const QString &wizardWindowsFolder = QString(),
        const TAcceptedVersionTable &acceptedVersions = DefaultAcceptedVersions());
    QStringList Lines() const { return FReport->Lines(); }
    // The lines, as text for a readable failure message.
    QString Dump() const { return Lines().join(QLatin1Char('\n')); }
    QString TempFolder() const;
    // A process that holds the file open until the test ends (the file counts as in use).
    void HoldOpen(const QString &windowsPath);

    std::unique_ptr<TempPrefix> FPrefix;
    PayloadBuilder FPayload;
    std::unique_ptr<ScriptedUiServices> FUi;
    std::unique_ptr<QTextDocument> FDocument;
    std::unique_ptr<TDocumentReport> FReport;
    std::unique_ptr<TdmUpdateCommon> FEngine;
    QList<qint64> FHolders;
};
