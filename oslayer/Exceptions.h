// The error types every layer raises and catches.
#pragma once

#include <QString>
#include <QByteArray>
#include <exception>
#include <cstdint>

namespace Os {

// Base of every error the program raises: a message for the user, nothing else.
class Exception : public std::exception {
public:
    explicit Exception(QString message) : FMessage(std::move(message)), FUtf8(FMessage.toUtf8()) {}
    const QString &Message() const noexcept { return FMessage; }
    const char *what() const noexcept override { return FUtf8.constData(); }

private:
    QString FMessage;
    QByteArray FUtf8;
};

// Unwinds to the event loop without a word: the message has already been shown.
class EAbort : public Exception {
public:
    EAbort() : Exception(QString()) {}
};

// An operating-system call failed; carries the Windows error code and the
// runtime's text "Erreur système.  Code : %d.\r\n%s".
class EOSError : public Exception {
public:
    explicit EOSError(uint32_t code);
    EOSError(uint32_t code, QString message) : Exception(std::move(message)), FErrorCode(code) {}
    uint32_t ErrorCode() const noexcept { return FErrorCode; }

private:
    uint32_t FErrorCode = 0;
};

// A text that should have been a number.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// A broken invariant of the program itself ("TRANSACTION MANAGEMENT ERROR").
class EAssertionFailed : public Exception {
public:
    using Exception::Exception;
};

} // namespace Os
