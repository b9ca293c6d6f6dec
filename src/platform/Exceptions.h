#pragma once
// The failures that the engine raises and its callers catch. Each carries the
// class name that the error log writes in front of the message, so a line in
// "ErrorInfo.txt" tells what kind of step failed.

#include <stdexcept>
#include <string>

namespace tandemora {

class TException : public std::runtime_error {
public:
    explicit TException(const std::string& message) : std::runtime_error(message) {}
    virtual const char* ClassName() const { return "Exception"; }
};

// A text that should hold a number does not.
class EConvertError : public TException {
public:
    using TException::TException;
    const char* ClassName() const override { return "EConvertError"; }
};

// A list was asked for an entry it does not have (a snapshot shorter than its counts).
class EListError : public TException {
public:
    using TException::TException;
    const char* ClassName() const override { return "EListError"; }
};

// A file could not be opened for reading.
class EFOpenError : public TException {
public:
    using TException::TException;
    const char* ClassName() const override { return "EFOpenError"; }
};

// A file could not be created or written.
class EFCreateError : public TException {
public:
    using TException::TException;
    const char* ClassName() const override { return "EFCreateError"; }
};

// A read or write on an open file failed part way.
class EInOutError : public TException {
public:
    using TException::TException;
    const char* ClassName() const override { return "EInOutError"; }
};

// Anything else the engine reports by raising.
class EOSError : public TException {
public:
    using TException::TException;
    const char* ClassName() const override { return "EOSError"; }
};

// The class name the error log shows for any exception: our own name where we
// raised it, the demangled C++ type otherwise.
std::string ExceptionClassName(const std::exception& e);

} // namespace tandemora
