#include "msgbox.h"

#include "framelesswindow.h"
#include "installlog.h"
#include "pixmaps.h"
#include "platform.h"

#include <QFont>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

namespace {

MsgBox *sharedInstance = nullptr;
bool boxStaysOnTop = false;

const char backgroundImage[] = ":/Resources/closeTips/bg_msg.png";

const char confirmStyle[] =
    "QPushButton{border-image: url(:/Resources/closeTips/confirm-normal.png);border:0;outline:0;}"
    "QPushButton:hover{border-image: "
    "url(:/Resources/closeTips/confirm-hover.png);border:0;outline:0;}"
    "QPushButton:focus{border-image: "
    "url(:/Resources/closeTips/confirm-active.png);border:0;outline:0;}"
    "QPushButton:pressed{border-image: "
    "url(:/Resources/closeTips/confirm-active.png);border:0;outline:0;}";

const char cancelStyle[] =
    "QPushButton{border-image: url(:/Resources/closeTips/cancle-normal.png);border:0;outline:0;}"
    "QPushButton:hover{border-image: "
    "url(:/Resources/closeTips/cancle-hover.png);border:0;outline:0;}"
    "QPushButton:focus{border-image: "
    "url(:/Resources/closeTips/cancle-active.png);border:0;outline:0;}"
    "QPushButton:pressed{border-image: "
    "url(:/Resources/closeTips/cancle-active.png);border:0;outline:0;}";

// The anchor's address is never followed: activating the link opens the log.
// It is written without quotes, so it must not end in "/": "/>" would close
// the tag before its text and leave no link.
const char linkAddress[] = "https://www.orvane.com";

} // namespace

MsgBox *MsgBox::getInstance(QWidget *parent, bool reparent) {
    if (!sharedInstance)
        sharedInstance = new MsgBox(parent);
    else if (reparent)
        sharedInstance->setParent(parent);
    return sharedInstance;
}

void MsgBox::releaseInstance() {
    delete sharedInstance;
    sharedInstance = nullptr;
}

int MsgBox::showInfo(const QString &title_info, const QString &info, MSG_GRADE grade,
                     bool is_cancle_hidden, int ifocus) {
    MsgBox *box = getInstance();
    box->setInfo(title_info, info, grade, is_cancle_hidden, ifocus);
    return box->exec();
}

void MsgBox::setStaysOnTop(bool staysOnTop) {
    boxStaysOnTop = staysOnTop;
}

MsgBox::MsgBox(QWidget *parent) : QDialog(parent) {
    const QPixmap background(QString::fromLatin1(backgroundImage));
    setAttribute(Qt::WA_TranslucentBackground);
    resize(background.width() - 2, background.height() - 2);
    new FramelessWindow(this, QString::fromLatin1(backgroundImage));
    Qt::WindowFlags flags = Qt::Tool | Qt::FramelessWindowHint;
    if (boxStaysOnTop)
        flags |= Qt::WindowStaysOnTopHint;
    setWindowFlags(flags);
    const int w = width();
    const int h = height();

    labelOne = new QLabel(this);
    labelOne->setObjectName(QStringLiteral("labelOne"));
    labelOne->setGeometry(0, 0, w - 50, 30);
    QFont titleFont = labelOne->font();
    titleFont.setWeight(50);
    labelOne->setFont(titleFont);
    labelOne->setStyleSheet(QStringLiteral("QLabel{color:#ffffff}"));

    iconLabel = new QLabel(this);
    iconLabel->setGeometry(20, 60, 34, 35);
    iconLabel->setScaledContents(true);

    textLabel = new QLabel(this);
    textLabel->setGeometry(78, 60, w - 100, 50);
    textLabel->setWordWrap(true);
    textLabel->setAlignment(Qt::AlignVCenter);

    linkLabel = new QLabel(this);
    linkLabel->setGeometry(28, h - 26, w, 50);
    linkLabel->setWordWrap(true);
    linkLabel->setAlignment(Qt::AlignVCenter);
    linkLabel->setText(QStringLiteral("<a style='color: green;' href = ") +
                       QString::fromLatin1(linkAddress) + QStringLiteral("> 查看日志</a>"));
    linkLabel->show();

    pushButtonTwo = new QPushButton(this);
    pushButtonTwo->setObjectName(QStringLiteral("pushButtonTwo"));
    pushButtonTwo->resize(64, 26);
    pushButtonTwo->move(w - pushButtonTwo->width() - 10, h - 32);
    pushButtonTwo->setStyleSheet(QString::fromLatin1(cancelStyle));
    pushButtonTwo->setText(QString());
    pushButtonTwo->setFocusPolicy(Qt::NoFocus);

    pushButtonOne = new QPushButton(this);
    pushButtonOne->setObjectName(QStringLiteral("pushButtonOne"));
    pushButtonOne->resize(64, 26);
    pushButtonOne->move(w - pushButtonTwo->width() - pushButtonOne->width() - 20, h - 32);
    pushButtonOne->setStyleSheet(QString::fromLatin1(confirmStyle));
    pushButtonOne->setText(QString());
    pushButtonOne->setFocusPolicy(Qt::NoFocus);

    connect(linkLabel, &QLabel::linkActivated, this, &MsgBox::OpenLog);
    connect(pushButtonOne, &QPushButton::clicked, this, &MsgBox::okOperate);
    connect(pushButtonTwo, &QPushButton::clicked, this, &MsgBox::cancelOperate);
}

MsgBox::~MsgBox() = default;

void MsgBox::setInfo(const QString &title_info, const QString &info, MSG_GRADE grade,
                     bool is_cancle_hidden, int ifocus) {
    labelOne->setText(QStringLiteral("       ") + title_info);
    textLabel->setText(info);
    switch (grade) {
    case MSG_MESSAGE:
        iconLabel->setPixmap(resourcePixmap(QStringLiteral(":/Resources/closeTips/message.png"),
                                            devicePixelRatioF()));
        break;
    case MSG_WARNING:
        iconLabel->setPixmap(resourcePixmap(QStringLiteral(":/Resources/closeTips/warning.png"),
                                            devicePixelRatioF()));
        break;
    case MSG_ERROR:
        iconLabel->setPixmap(
            resourcePixmap(QStringLiteral(":/Resources/closeTips/error.png"), devicePixelRatioF()));
        break;
    }
    pushButtonTwo->setHidden(is_cancle_hidden);
    if (is_cancle_hidden) {
        // The lone confirm button takes the cancel button's place on the right.
        const int w = width();
        const int h = height();
        pushButtonOne->move(w - pushButtonTwo->width() - 10, h - 32);
        pushButtonTwo->move(w - pushButtonTwo->width() - pushButtonOne->width() - 20, h - 32);
    }
    if (ifocus == 0)
        pushButtonOne->setFocus(Qt::OtherFocusReason);
    else if (ifocus == 1)
        pushButtonTwo->setFocus(Qt::OtherFocusReason);
}

void MsgBox::okOperate() {
    accept();
}

void MsgBox::cancelOperate() {
    reject();
}

void MsgBox::OpenLog(QString) {
    platform::shellOpen(logLinkPath().toStdString(), std::string(), platform::ShowCommand::Show);
}
