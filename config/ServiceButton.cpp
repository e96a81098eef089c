#include "config/ServiceButton.h"

#include "config/Program.h"
#include "config/Prompter.h"
#include "config/SrvCtrl.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace norvex::config {

namespace {

constexpr int RunningState = 3;
constexpr int PollMs = 100;

// The hourglass for the length of a request and its wait, also when it throws.
class BusyCursor
{
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor &) = delete;
    BusyCursor &operator=(const BusyCursor &) = delete;
};

} // namespace

TServiceButton::TServiceButton(Program &program, std::function<void(const QString &)> command,
                               std::function<void()> reloadList, QWidget *parent)
    : QWidget(parent), m_program(program), m_command(std::move(command)),
      m_reloadList(std::move(reloadList)), m_caption(new QLabel(this)),
      m_button(new QPushButton(this))
{
    m_caption->setObjectName(QStringLiteral("LblService"));
    m_caption->setAlignment(Qt::AlignCenter);
    m_button->setObjectName(QStringLiteral("BotService"));
    m_button->setCheckable(true);
    m_button->setToolTip(QStringLiteral("サービス起動/停止ボタン"));
    m_button->setAccessibleName(QStringLiteral("サービス起動/停止ボタン"));
    m_button->setMinimumHeight(40);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_caption);
    layout->addWidget(m_button);
    setLook(Look::Stopped);
    connect(m_button, &QPushButton::clicked, this, &TServiceButton::BotServiceClick);
}

bool TServiceButton::pressed() const
{
    return m_button->isChecked();
}

void TServiceButton::setLook(Look look)
{
    struct Face
    {
        bool pressed;
        const char *background;
        const char *text;
        const char *caption;
    };
    static const Face faces[] = {
        {true, "rgb(0, 128, 0)", "white", "起動"},
        {false, "rgb(255, 0, 0)", "white", "停止"},
        {true, "rgb(255, 255, 0)", "black", "起動中"},
        {false, "rgb(255, 255, 0)", "black", "停止中"},
    };
    const Face &face = faces[int(look)];
    m_look = look;
    m_button->setChecked(face.pressed);
    m_button->setText(QString::fromUtf8(face.caption));
    // A border keeps Fusion from drawing its gradient over the colour.
    m_button->setStyleSheet(
        QStringLiteral("QPushButton { background-color: %1; color: %2; border: 2px %3 gray; "
                       "font-weight: bold; }")
            .arg(QLatin1String(face.background), QLatin1String(face.text),
                 face.pressed ? QLatin1String("inset") : QLatin1String("outset")));
    emit lookChanged();
}

void TServiceButton::showInitialState(bool reportFailure)
{
    m_caption->setText(QStringLiteral("サービスプログラムの\n状態"));
    try {
        setLook(m_program.queryServiceState() == RunningState ? Look::Running : Look::Stopped);
    } catch (const ESrvCtrlException &error) {
        setLook(Look::Stopped);
        if (reportFailure)
            m_program.prompter().message(error.message(), Prompter::Kind::Error);
    }
}

void TServiceButton::BotServiceClick(bool pressed)
{
    // A click during a wait would start a second request on top of the first.
    if (m_busy) {
        m_button->setChecked(!pressed);
        return;
    }
    m_busy = true;
    if (pressed)
        startService();
    else
        stopService();
    m_busy = false;
}

void TServiceButton::startService()
{
    if (!m_program.prompter().confirm(
            QStringLiteral("バックアップサービスを起動します。\r\nよろしいですか？"))) {
        m_button->setChecked(false);
        return;
    }
    BusyCursor busy;
    setLook(Look::Starting);
    try {
        m_command(QStringLiteral("START"));
    } catch (const ESrvCtrlException &error) {
        m_program.prompter().message(error.message(), Prompter::Kind::Error);
        takeFreshLook();
        return;
    }
    waitFor([](int state) { return state == RunningState; });
    if (stateOrFailure() == RunningState) {
        setLook(Look::Running);
        m_reloadList();
    } else {
        m_program.prompter().message(QStringLiteral("サービスプログラムを起動できませんでした。"),
                                     Prompter::Kind::Error);
        setLook(Look::Stopped);
    }
}

void TServiceButton::stopService()
{
    if (!m_program.prompter().confirm(
            QStringLiteral("バックアップサービスを停止します。\r\nよろしいですか？"))) {
        m_button->setChecked(true);
        return;
    }
    BusyCursor busy;
    setLook(Look::Stopping);
    try {
        m_command(QStringLiteral("STOP"));
    } catch (const ESrvCtrlException &error) {
        m_program.prompter().message(error.message(), Prompter::Kind::Error);
        takeFreshLook();
        return;
    }
    waitFor([](int state) { return state != RunningState; });
    if (stateOrFailure() == RunningState) {
        m_program.prompter().message(QStringLiteral("サービスプログラムを停止できませんでした。"),
                                     Prompter::Kind::Error);
        setLook(Look::Running);
    } else {
        // A stop still pending after the wait counts as stopped.
        setLook(Look::Stopped);
        m_reloadList();
    }
}

void TServiceButton::waitFor(const std::function<bool(int)> &done)
{
    QElapsedTimer waited;
    waited.start();
    while (!done(stateOrFailure()) && waited.elapsed() < WaitMs) {
        QEventLoop loop;
        QTimer::singleShot(PollMs, Qt::PreciseTimer, &loop, &QEventLoop::quit);
        loop.exec();
    }
}

int TServiceButton::stateOrFailure()
{
    try {
        return m_program.queryServiceState();
    } catch (const ESrvCtrlException &) {
        return -1;
    }
}

void TServiceButton::takeFreshLook()
{
    // A failed query leaves the button released: run now then refuses, which is the safe
    // side when nothing is known.
    setLook(stateOrFailure() == RunningState ? Look::Running : Look::Stopped);
}

} // namespace norvex::config
