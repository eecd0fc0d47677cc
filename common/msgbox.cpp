#include "msgbox.h"

#include "framelesswindow.h"
#include "installlog.h"
#include "pixmaps.h"
#include "platform.h"

#include <QFont>
#include <QFontMetrics>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

#include <climits>

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

bool isSeparator(QChar c) {
    return c == QLatin1Char('\\') || c == QLatin1Char('/');
}

// Where the path a message names begins, after its root: a drive ("C:\"), a
// share ("\\") or, on the stand-in, a "/" that starts a word. -1 when there
// is none.
int pathBody(const QString &text) {
    for (int i = 0; i < text.size(); ++i) {
        if (i > 0 && !text[i - 1].isSpace())
            continue;
        const QStringRef rest = text.midRef(i);
        if (rest.size() >= 3 && rest[0].isLetter() && rest[1] == QLatin1Char(':') &&
            isSeparator(rest[2]))
            return i + 3;
        if (rest.startsWith(QLatin1String("\\\\")))
            return i + 2;
        if (rest.startsWith(QLatin1Char('/')))
            return i + 1;
    }
    return -1;
}

bool fitsIn(const QLabel *label, const QString &text) {
    const QRect area = label->contentsRect();
    const QRect needed = label->fontMetrics().boundingRect(
        QRect(0, 0, area.width(), INT_MAX / 2), Qt::TextWordWrap | label->alignment(), text);
    return needed.width() <= area.width() && needed.height() <= area.height();
}

// The text as the label can hold it. A message too long for its lines names
// a long path (an installation folder): the folders in the middle of the
// path give way to "…", so that the path's root and its last folder, and the
// words after it, stay in view. The log keeps the whole path.
QString fitted(const QLabel *label, const QString &text) {
    const int body = pathBody(text);
    int last = text.size();
    while (last > 0 && !isSeparator(text[last - 1]))
        --last;
    if (fitsIn(label, text) || body < 0 || last - 1 <= body)
        return text;
    const QString middle = text.mid(body, last - 1 - body);
    const auto shortened = [&](int kept) {
        return text.left(body) + middle.left(kept - kept / 2) + QChar(0x2026) +
               middle.right(kept / 2) + text.mid(last - 1);
    };
    // The most of the middle that still fits.
    int fits = 0;
    int tooMany = middle.size();
    while (tooMany - fits > 1) {
        const int kept = (fits + tooMany) / 2;
        if (fitsIn(label, shortened(kept)))
            fits = kept;
        else
            tooMany = kept;
    }
    return shortened(fits);
}

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
    // As high as the footer below it: the whole text inside the box.
    linkLabel->setGeometry(28, h - 26, w, 26);
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
    textLabel->setText(fitted(textLabel, info));
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
