// The dialog in which a user states where a database lives: a local file, a server reached
// over TCP/IP with the file on it, or any other connection text.
#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QString>

class QAction;
class QLabel;
class QPushButton;
class QRadioButton;
class QToolButton;

namespace Dialogs {
class TActionList;
}

// An edit with a browse button inside its right edge.
class TButtonEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TButtonEdit(QWidget *parent = nullptr);
    QToolButton *Button() const { return FButton; }

signals:
    void ButtonClick();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    QToolButton *FButton;
};

class TdlgConnection : public QDialog {
    Q_OBJECT
public:
    // The dialog centres itself over mainWindow (else the active window) when shown.
    explicit TdlgConnection(QWidget *mainWindow = nullptr);
    ~TdlgConnection() override;

    // Shows the dialog modally and returns QDialog::Accepted for OK. The dialog frees itself
    // once the caller is back in its event loop: read ResultConnectionString right after.
    int ShowModal();

    // The connection string that OK composed; empty until then.
    QString ResultConnectionString() const { return FResultConnectionString; }

    // The server part and the database file part of a connection string, for the services
    // of the server; needs no dialog. Raises for the kinds the services cannot reach.
    static void SplitConnectionString(const QString &connectionString, QString &serverName, QString &fileName);

    // The published parts of the form.
    QWidget *PanelButtons = nullptr;
    QPushButton *bOK = nullptr;
    QPushButton *bAnnuler = nullptr;
    QWidget *PanelMain = nullptr;
    QRadioButton *RadioButtonConnLocal = nullptr;
    QLabel *Label1 = nullptr;
    TButtonEdit *RzButtonEditDbFile = nullptr;
    QRadioButton *RadioButtonConnTcp = nullptr;
    QLabel *Label3 = nullptr;
    QLineEdit *EditIP1 = nullptr;
    QLineEdit *EditIP2 = nullptr;
    QLineEdit *EditIP3 = nullptr;
    QLineEdit *EditIP4 = nullptr;
    QLabel *Label4 = nullptr;
    QLineEdit *EditServFile = nullptr;
    QRadioButton *RadioButtonConnOther = nullptr;
    QLabel *Label2 = nullptr;
    QLineEdit *EditOtherDbFile = nullptr;
    Dialogs::TActionList *ActionList1 = nullptr;
    QAction *ActionOK = nullptr;
    QAction *ActionAnnuler = nullptr;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void FormCreate();
    void RadioButtonClick();
    // True when the key was handled and goes no further.
    bool ipKeyPress(QLineEdit *box, QKeyEvent *event);
    void EditIP1Change(QLineEdit *box);
    bool RzButtonEditDbFileKeyDown(QKeyEvent *event);
    void RzButtonEditDbFileButtonClick();
    void ActionList1Update();
    void ActionOKExecute();
    void LayOut();
    void SetEditEnabled(QLineEdit *edit, bool enabled);

    QString FResultConnectionString;
    bool FCentred = false;
};
