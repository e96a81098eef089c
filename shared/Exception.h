#pragma once

#include <QString>
#include <exception>

namespace norvex::shared {

// Base of every error the programs raise. className() is what error entries print
// ("Exception", "EFOpenError", "FtpException", ...), so each subclass overrides it.
class Exception : public std::exception
{
public:
    explicit Exception(QString message) : m_message(std::move(message)), m_utf8(m_message.toUtf8())
    {
    }

    const QString &message() const noexcept { return m_message; }
    virtual QString className() const { return QStringLiteral("Exception"); }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_message;
    QByteArray m_utf8;
};

// A stored text that does not convert to the value a reader expects.
class EConvertError : public Exception
{
public:
    using Exception::Exception;
    QString className() const override { return QStringLiteral("EConvertError"); }
};

} // namespace norvex::shared
