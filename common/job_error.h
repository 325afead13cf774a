// Errors that stop the transfer job.
//
// A JobError carries a message written for the person at the PC: what went
// wrong, and where the handheld's data is now. The main window shows it in
// the error report and ends the program with a non-zero status.
#pragma once

#include <stdexcept>
#include <string>

namespace kestrane {

class JobError : public std::runtime_error {
public:
    explicit JobError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace kestrane
