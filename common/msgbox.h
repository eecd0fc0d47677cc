// The one message box of every program: frameless, painted with its own
// background, a title line, a severity icon, the message, confirm and
// cancel buttons, and a link that opens the install log.
#pragma once

#include <QDialog>
#include <QMetaType>

class QLabel;
class QPushButton;

enum MSG_GRADE { MSG_MESSAGE = 0, MSG_WARNING = 1, MSG_ERROR = 2 };
Q_DECLARE_METATYPE(MSG_GRADE)

class MsgBox : public QDialog {
    Q_OBJECT

public:
    // The process's shared box, created on first request.
    static MsgBox *getInstance(QWidget *parent = nullptr, bool reparent = false);
    static void releaseInstance();
    // The updater's box stays above other windows; set before the box is made.
    static void setStaysOnTop(bool staysOnTop);

    // Fills the shared box and runs it, the one way the programs show a
    // message: 1 confirmed, 0 cancelled or Esc.
    static int showInfo(const QString &title_info, const QString &info, MSG_GRADE grade,
                        bool is_cancle_hidden, int ifocus);

    // Fills the box; exec() shows it (1 confirmed, 0 cancelled or Esc).
    void setInfo(const QString &title_info, const QString &info, MSG_GRADE grade,
                 bool is_cancle_hidden, int ifocus);

private slots:
    void okOperate();
    void cancelOperate();
    void OpenLog(QString str);

private:
    explicit MsgBox(QWidget *parent);
    ~MsgBox() override;

    QLabel *labelOne;
    QLabel *iconLabel;
    QLabel *textLabel;
    QLabel *linkLabel;
    QPushButton *pushButtonTwo;
    QPushButton *pushButtonOne;
};
