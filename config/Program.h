#pragma once

#include <QString>

namespace norvex::shared {
class Clock;
class TIniFileCompo;
class TMlb2;
} // namespace norvex::shared

namespace norvex::transfer {
class TFtpClient;
class TSshKey;
class TSshSFtp;
} // namespace norvex::transfer

namespace norvex::config {

class Prompter;

// The window caption, also the title of every message box.
inline constexpr char ApplicationTitle[] = "ノルベクス Ver1.00";

// The pages of the page area; the first eight in the order of their tree nodes' pages.
enum class Page { Top, Disp, List, Log, BackEnv, AddBackUp, Option, Help, EditBackUp };

// What the pages share: the program-wide state the main window owns for the whole run and
// the navigation it offers. The main window implements it; each page takes it at
// construction, so a page never needs the window's own class.
class Program
{
public:
    virtual ~Program() = default;

    // The installation folder, with its trailing '/'.
    virtual QString installFolder() const = 0;
    // The job table as last loaded (separator ',', quotation mark as quote character).
    virtual shared::TMlb2 &jobTable() = 0;
    // The shown event log entries (separator tab).
    virtual shared::TMlb2 &logTable() = 0;
    // Norvex.ini.
    virtual shared::TIniFileCompo &settings() = 0;

    virtual bool backupInProgress() const = 0;
    virtual void setBackupInProgress(bool on) = 0;
    // 1-based row of the job shown on the change page; 0 before the first edit.
    virtual int editedJobNumber() const = 0;
    virtual void setEditedJobNumber(int number) = 0;

    // Shows a page (its show action runs once attached) and moves the tree's highlight to
    // the page's node without navigating.
    virtual void showPage(Page page) = 0;
    virtual Page currentPage() const = 0;
    // The job list page with node 2 highlighted quietly; selectRow >= 0 then makes that
    // grid row current (after a saved change).
    virtual void backToList(int selectRow = -1) = 0;
    // Ends the program.
    virtual void closeMainWindow() = 0;

    // The service button's pressed state: the program's record that the service runs.
    virtual bool serviceButtonPressed() const = 0;
    // One service state query (0 stopped ... 3 running); raises ESrvCtrlException.
    virtual int queryServiceState() = 0;

    virtual Prompter &prompter() = 0;
    virtual const shared::Clock &clock() const = 0;

    // The connection-check objects, owned for the whole run.
    virtual transfer::TSshSFtp &sftp() = 0;
    virtual transfer::TSshKey &sshKey() = 0;
    virtual transfer::TFtpClient &ftp() = 0;
};

} // namespace norvex::config
