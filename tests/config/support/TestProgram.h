#pragma once

// A stand-in for the main window's program-wide state, for tests of one page or dialog on
// its own. It owns real tables, settings and connection-check objects, answers questions
// from a QueuePrompter, tells time by a ManualClock, and records the navigation asked of it.

#include "config/Program.h"
#include "config/SrvCtrl.h"
#include "config/support/QueuePrompter.h"
#include "shared/Clock.h"
#include "shared/IniFileCompo.h"
#include "shared/JobTable.h"
#include "shared/mlb2.h"
#include "transfer/FtpCli.h"
#include "transfer/SshKey.h"
#include "transfer/SshSFtp.h"

#include <QStringList>

namespace norvex::testing {

class TestProgram : public config::Program
{
    QString m_folder;

public:
    explicit TestProgram(QString installFolder,
                         QDateTime now = QDateTime(QDate(2024, 5, 10), QTime(9, 30)))
        : m_folder(std::move(installFolder)), clockValue(std::move(now))
    {
        if (!m_folder.endsWith(QLatin1Char('/')))
            m_folder += QLatin1Char('/');
        shared::setupJobTable(jobs);
        log.SetSeparator(QLatin1Char('\t'));
        ini.SetDefaultFolder(shared::TIniFileCompo::dfUser);
        ini.SetFileName(m_folder + QStringLiteral("Norvex.ini"));
    }

    QString installFolder() const override { return m_folder; }
    shared::TMlb2 &jobTable() override { return jobs; }
    shared::TMlb2 &logTable() override { return log; }
    shared::TIniFileCompo &settings() override { return ini; }
    bool backupInProgress() const override { return inProgress; }
    void setBackupInProgress(bool on) override { inProgress = on; }
    int editedJobNumber() const override { return editedJob; }
    void setEditedJobNumber(int number) override { editedJob = number; }
    void showPage(config::Page page) override
    {
        current = page;
        navigation << QStringLiteral("show %1").arg(int(page));
    }
    config::Page currentPage() const override { return current; }
    void backToList(int selectRow = -1) override
    {
        current = config::Page::List;
        navigation << QStringLiteral("list %1").arg(selectRow);
    }
    void closeMainWindow() override { navigation << QStringLiteral("close"); }
    bool serviceButtonPressed() const override { return pressed; }
    int queryServiceState() override
    {
        ++stateQueries;
        if (stateError)
            throw config::ESrvCtrlException(stateError);
        return serviceState;
    }
    config::Prompter &prompter() override { return prompts; }
    const shared::Clock &clock() const override { return clockValue; }
    transfer::TSshSFtp &sftp() override { return sftpSession; }
    transfer::TSshKey &sshKey() override { return key; }
    transfer::TFtpClient &ftp() override { return ftpClient; }

    shared::TMlb2 jobs;
    shared::TMlb2 log;
    shared::TIniFileCompo ini;
    bool inProgress = false;
    int editedJob = 0;
    config::Page current = config::Page::List;
    QStringList navigation;
    bool pressed = false;
    int serviceState = 0; // stopped
    int stateError = 0;   // raise ESrvCtrlException with this code when not 0
    int stateQueries = 0;
    QueuePrompter prompts;
    shared::ManualClock clockValue;
    transfer::TSshSFtp sftpSession;
    transfer::TSshKey key;
    transfer::TFtpClient ftpClient;
};

} // namespace norvex::testing
