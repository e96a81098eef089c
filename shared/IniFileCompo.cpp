#include "shared/IniFileCompo.h"

#include "platform/AtomicFile.h"
#include "platform/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace norvex::shared {

namespace {

QString executableBaseName()
{
    const QFileInfo exe(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath());
    return exe.completeBaseName();
}

// An INI line holds no line break; a break in a name or value would split it.
QString oneLine(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String(" "));
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text;
}

} // namespace

TIniFileCompo::TIniFileCompo(QObject *owner) : QObject(owner)
{
}

TIniFileCompo::~TIniFileCompo()
{
    if (m_autoUpdate)
        SaveSettings();
}

QString TIniFileCompo::folderFor(TDefaultFolder folder) const
{
    switch (folder) {
    case dfAppData: {
        QByteArray base = qgetenv("XDG_DATA_HOME");
        QString data = base.isEmpty() ? QDir::homePath() + QStringLiteral("/.local/share")
                                      : QString::fromUtf8(base);
        return platform::withTrailingSlash(data) + executableBaseName() + QLatin1Char('/');
    }
    case dfApplication:
        return platform::installFolder();
    case dfUser:
        return {};
    case dfWindows:
        return QStringLiteral("/etc/");
    }
    return {};
}

void TIniFileCompo::SetDefaultFolder(TDefaultFolder folder)
{
    m_defaultFolder = folder;
    const QString dir = folderFor(folder);
    if (!dir.isEmpty() && !QFileInfo(dir).isDir())
        QDir().mkpath(dir);
    reload();
}

void TIniFileCompo::SetFileName(const QString &name)
{
    m_fileName = name;
    reload();
}

bool TIniFileCompo::sameName(const QString &a, const QString &b) const
{
    return a.compare(b, m_caseSensitive ? Qt::CaseSensitive : Qt::CaseInsensitive) == 0;
}

void TIniFileCompo::reload()
{
    const QString name =
        m_fileName.isEmpty() ? executableBaseName() + QStringLiteral(".ini") : m_fileName;
    m_path = folderFor(m_defaultFolder) + name;
    m_sections.clear();

    QFile file(m_path);
    // Only a regular file is read: opening a FIFO would wait for a writer.
    if (QFileInfo(m_path).isFile() && file.open(QIODevice::ReadOnly)) {
        const QString text = QString::fromUtf8(file.readAll());
        file.close();
        QString normalized = text;
        normalized.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        normalized.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        const QStringList lines = normalized.split(QLatin1Char('\n'));
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const QString &raw = lines[i];
            const QString trimmed = raw.trimmed();
            if (trimmed.startsWith(QLatin1Char('[')) && trimmed.endsWith(QLatin1Char(']'))) {
                Section s;
                s.name = trimmed.mid(1, trimmed.size() - 2).trimmed();
                m_sections.push_back(std::move(s));
                continue;
            }
            // Empty lines are layout: the writer puts one after every section.
            if (trimmed.isEmpty())
                continue;
            if (m_sections.empty()) {
                Section s;
                s.hasHeader = false;
                m_sections.push_back(std::move(s));
            }
            Line line;
            const qsizetype eq = raw.indexOf(QLatin1Char('='));
            const bool comment =
                trimmed.startsWith(QLatin1Char(';')) || trimmed.startsWith(QLatin1Char('#'));
            if (eq > 0 && !comment && !raw.left(eq).trimmed().isEmpty()) {
                line.isKey = true;
                line.key = raw.left(eq).trimmed();
                line.text = raw.mid(eq + 1).trimmed();
            } else {
                line.text = raw;
            }
            m_sections.back().lines.push_back(std::move(line));
        }
    }
    emit OnLoad();
}

QString TIniFileCompo::ReadValue(const QString &section, const QString &key,
                                 const QString &defaultValue) const
{
    for (const Section &s : m_sections) {
        if (!s.hasHeader || !sameName(s.name, section))
            continue;
        for (const Line &line : s.lines) {
            if (line.isKey && sameName(line.key, key))
                return line.text;
        }
    }
    return defaultValue;
}

void TIniFileCompo::WriteValue(const QString &section, const QString &key, const QString &value)
{
    const QString sectionName = oneLine(section).trimmed();
    const QString keyName = oneLine(key).trimmed();
    const QString text = oneLine(value);
    bool done = false;
    for (Section &s : m_sections) {
        if (!s.hasHeader || !sameName(s.name, sectionName))
            continue;
        for (Line &line : s.lines) {
            if (line.isKey && sameName(line.key, keyName)) {
                line.text = text;
                done = true;
                break;
            }
        }
        if (done)
            break;
    }
    if (!done) {
        Section *target = nullptr;
        for (Section &s : m_sections) {
            if (s.hasHeader && sameName(s.name, sectionName)) {
                target = &s;
                break;
            }
        }
        if (!target) {
            Section s;
            s.name = sectionName;
            m_sections.push_back(std::move(s));
            target = &m_sections.back();
        }
        Line line;
        line.isKey = true;
        line.key = keyName;
        line.text = text;
        target->lines.push_back(std::move(line));
    }
    if (m_updateAtOnce)
        SaveSettings();
}

bool TIniFileCompo::SaveSettings()
{
    if (m_path.isEmpty()) {
        const QString name =
            m_fileName.isEmpty() ? executableBaseName() + QStringLiteral(".ini") : m_fileName;
        m_path = folderFor(m_defaultFolder) + name;
    }
    QString out;
    for (const Section &s : m_sections) {
        if (s.hasHeader)
            out += QLatin1Char('[') + s.name + QLatin1String("]\r\n");
        for (const Line &line : s.lines) {
            if (line.isKey)
                out += line.key + QLatin1Char('=') + line.text + QLatin1String("\r\n");
            else
                out += line.text + QLatin1String("\r\n");
        }
        out += QLatin1String("\r\n");
    }
    QString error;
    if (!platform::writeFileAtomically(m_path, out.toUtf8(), 0666 & ~platform::processUmask(),
                                       &error)) {
        m_error = error;
        return false;
    }
    m_error.clear();
    emit OnUpdate();
    return true;
}

QStringList TIniFileCompo::Sections() const
{
    QStringList names;
    for (const Section &s : m_sections) {
        if (s.hasHeader)
            names.append(s.name);
    }
    return names;
}

} // namespace norvex::shared
