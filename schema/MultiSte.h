// The company list shared by the products: the file multiste.txt, the company chosen
// last, and the choice of a company. The choice itself is asked of the person through
// UiServices().ChooseCompany, so that this class stays free of widgets.
#pragma once

#include <QString>
#include <QStringList>

class TFMultiSte {
public:
    // Runs the creation handler (FormCreate).
    TFMultiSte();

    // Where the list is: the legacy machine key removed first, then the candidates of
    // FindCompanyListFile on C: and on the drive of the Windows folder. Empty when none.
    static QString GetMultisteFilename();
    // Deletes HKLM "Software\DREMLIX S.A.\MultiSte" with everything below it; every
    // failure is ignored.
    static void RemoveLegacyCompanyKey();
    // The first existing file of d:\dremlix\multiste.txt, d:\dremlix\multiste.txt.txt,
    // d:\wdremlix\multiste.txt, d:\wdremlix\multiste.txt.txt and multiste.txt in the
    // products' shared program folder; empty when none exists.
    static QString FindCompanyListFile(QChar drive);
    // Blanks trimmed, letter case ignored, and an empty name counts as "Default".
    static bool CompareSocietes(const QString &societe1, const QString &societe2);
    // Appends a company to the list file (made in <Windows drive>:\dremlix\ when there is
    // none yet); blank lines are dropped, a company already listed is not added again.
    static void AddSociete(const QString &Societe);

    // The value "LastCompany" of HKCU "Software\DREMLIX S.A.\Multiste": empty when missing.
    static QString LastCompany();
    // Writes "LastCompany"; a failure is ignored, as the choice still stands.
    static void SetLastCompany(const QString &company);

    // Loads the list and selects the company chosen last (or the first).
    void ChargeFichier();
    // Reloads the list; with several companies asks for one. True when one is chosen.
    bool DemandeSte();
    // The chosen company's text ("" for the default company or an empty list).
    QString SteChoisie() const;
    // The chosen company's text, "Default" when it is empty.
    QString CompanyNameOrDefault() const;
    // Reloads the list and selects societe (letter case ignored); raises
    // "Société non trouvée : " + societe when it is not listed.
    void SetSociete(const QString &societe);

    // Event handlers of the dialog: OK, Cancel, Info and the keys of the company box.
    void BokClick();
    void BannulerClick();
    void Button1Click();
    void ComboBoxCompaniesKeyDown(int key); // Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape
    void FormCreate();

    // The company box: its items, the selected index (-1 for none) and its text.
    const QStringList &Companies() const { return FCompanies; }
    int ItemIndex() const { return FItemIndex; }
    void SetItemIndex(int index);
    // Path of the list file last loaded.
    const QString &Filename() const { return FFilename; }
    // Texts of the dialog, for the GUI that shows it.
    const QString &Caption() const { return FCaption; }
    const QString &LabelCaption() const { return FLabelCaption; }
    const QString &CancelCaption() const { return FCancelCaption; }

    // True when the dialog was cancelled.
    bool Abandon = true;

private:
    QStringList FCompanies;
    int FItemIndex = -1;
    QString FFilename;
    QString FCaption;
    QString FLabelCaption;
    QString FCancelCaption;
};

// The one company form of the program, created on first use and kept until the end
// (or until ReleaseFMultiSte, for tests).
TFMultiSte &EnsureFMultiSte();
TFMultiSte *FMultiSte();
void ReleaseFMultiSte();
