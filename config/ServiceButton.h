#pragma once

#include <QWidget>
#include <functional>

class QLabel;
class QPushButton;

namespace norvex::config {

class Program;

// The service area under the navigation tree: the caption LblService and the two-state
// button BotService. Pressed means, for the whole program, that the service runs. The
// button starts and stops the service and waits for it at most 5 seconds, keeping the
// window responsive meanwhile.
class TServiceButton : public QWidget
{
    Q_OBJECT

public:
    enum class Look { Running, Stopped, Starting, Stopping };

    // command sends "START" or "STOP" to the service (raises ESrvCtrlException);
    // reloadList runs the job list's load after a successful start or stop.
    TServiceButton(Program &program, std::function<void(const QString &)> command,
                   std::function<void()> reloadList, QWidget *parent = nullptr);

    bool pressed() const;
    Look look() const { return m_look; }
    void setLook(Look look);
    // The first showing's step: the caption, then the look from one state query. A query
    // that fails leaves the look stopped and is reported, unless `reportFailure` is false
    // (the job list has just shown it).
    void showInitialState(bool reportFailure = true);

    // How long a start or stop is waited for.
    static constexpr int WaitMs = 5000;

signals:
    void lookChanged();

private:
    void BotServiceClick(bool pressed);
    void startService();
    void stopService();
    // Polls the state until done(state) or WaitMs have passed, processing events between
    // the queries; a query that fails counts as not done.
    void waitFor(const std::function<bool(int)> &done);
    // One state query; -1 when it fails.
    int stateOrFailure();
    // After a refused request: what a fresh query says.
    void takeFreshLook();

    Program &m_program;
    std::function<void(const QString &)> m_command;
    std::function<void()> m_reloadList;
    QLabel *m_caption;
    QPushButton *m_button;
    Look m_look = Look::Stopped;
    bool m_busy = false;
};

} // namespace norvex::config
