#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <vector>

namespace norvex::shared {

// The settings component: keeps a whole INI file in memory. Sections and keys it does not
// know survive every rewrite, comments and other lines included.
class TIniFileCompo : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool AutoUpdate READ AutoUpdate WRITE SetAutoUpdate)
    Q_PROPERTY(bool CaseSensitive READ CaseSensitive WRITE SetCaseSensitive)
    Q_PROPERTY(TDefaultFolder DefaultFolder READ DefaultFolder WRITE SetDefaultFolder)
    Q_PROPERTY(QString FileName READ FileName WRITE SetFileName)
    Q_PROPERTY(bool UpdateAtOnce READ UpdateAtOnce WRITE SetUpdateAtOnce)

public:
    // dfAppData: the user's XDG data folder + the executable's base name + "/";
    // dfApplication: the installation folder; dfUser: FileName as given;
    // dfWindows: "/etc/".
    enum TDefaultFolder { dfAppData = 0, dfApplication = 1, dfUser = 2, dfWindows = 3 };
    Q_ENUM(TDefaultFolder)

    explicit TIniFileCompo(QObject *owner = nullptr);
    ~TIniFileCompo() override;

    bool AutoUpdate() const { return m_autoUpdate; }
    void SetAutoUpdate(bool on) { m_autoUpdate = on; }
    bool CaseSensitive() const { return m_caseSensitive; }
    void SetCaseSensitive(bool on) { m_caseSensitive = on; }
    TDefaultFolder DefaultFolder() const { return m_defaultFolder; }
    // Recomputes the path, creates the folder (with its parents) when missing, reloads.
    void SetDefaultFolder(TDefaultFolder folder);
    QString FileName() const { return m_fileName; }
    // Path := folder of DefaultFolder + name (the executable's base name + ".ini" when
    // empty); the settings in memory are replaced by the file's content (empty when it
    // does not exist), then OnLoad is raised.
    void SetFileName(const QString &name);
    bool UpdateAtOnce() const { return m_updateAtOnce; }
    void SetUpdateAtOnce(bool on) { m_updateAtOnce = on; }

    // The full path of the settings file.
    QString Path() const { return m_path; }

    QString ReadValue(const QString &section, const QString &key,
                      const QString &defaultValue) const;
    // Line breaks cannot be stored in an INI line: in names and values they become spaces.
    void WriteValue(const QString &section, const QString &key, const QString &value);
    // Writes the whole content atomically; the file keeps its permission bits. On failure
    // the previous file stays, the result is false and ErrorMessage() says why; OnUpdate is
    // raised only after a successful write.
    bool SaveSettings();
    QString ErrorMessage() const { return m_error; }

    // The sections in file order (for tests and tools).
    QStringList Sections() const;

signals:
    void OnLoad();
    void OnUpdate();

private:
    struct Line
    {
        QString key;  // empty for a line that is not "key=value" (kept as raw text)
        QString text; // the value, or the raw line
        bool isKey = false;
    };
    struct Section
    {
        QString name;
        bool hasHeader = true; // false for lines before the first section
        std::vector<Line> lines;
    };

    void reload();
    bool sameName(const QString &a, const QString &b) const;
    QString folderFor(TDefaultFolder folder) const;

    bool m_autoUpdate = false;
    bool m_caseSensitive = false;
    bool m_updateAtOnce = false;
    TDefaultFolder m_defaultFolder = dfApplication;
    QString m_fileName;
    QString m_path;
    QString m_error;
    std::vector<Section> m_sections;
};

} // namespace norvex::shared
