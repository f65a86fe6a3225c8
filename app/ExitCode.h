// The process exit codes: how a run of the installer ended, for the user's scripts.
#pragma once

namespace VessickExitCode {

enum EXITCODE : int {
    SUCCESS = 0,            // installed, or the user chose not to install after the time question
    CANCELED = 1,           // the user cancelled
    ALREADY_RUNNING = 2,    // another installer is running
    ILLEGAL_PARAMETER = 3,  // the command line is not acceptable
    INSTALL_FAILED = 4,     // the installation failed after it had started
    INIT_FAILED = 5,        // the installer could not prepare itself
};

}  // namespace VessickExitCode
