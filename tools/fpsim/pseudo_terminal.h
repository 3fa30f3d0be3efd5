// Pseudo-terminals and their links (POSIX only): the line that fpsim creates
// for the driver, and a stand-in for a serial device and its cable in tests.
#pragma once

#include <string>

namespace fpsim {

// A pseudo-terminal pair in raw mode. The simulator keeps the controller's
// side and one descriptor of the driver's side open, so that the driver can
// close and reopen its side without the line hanging up.
struct PseudoTerminal {
    int controllerFd = -1;
    int driverSideFd = -1;
    std::string driverPath;  // e.g. /dev/pts/3
};

// Raw mode: no echo, no line editing, no translation; a read returns what
// has come.
bool SetRawMode(int fd, std::string *error);

bool OpenPseudoTerminal(PseudoTerminal &pty, std::string *error);
void ClosePseudoTerminal(PseudoTerminal &pty);

// Claims the link path `link` for this simulator, so that no other fpsim
// takes it over while it is served: a socket bound to a name made of the
// path's absolute form, in the kernel's abstract namespace, which goes with
// the process however it ends. Fails, saying which process holds it, when
// another simulator has claimed the same path. The claim is `*claim`, a
// descriptor to close to release it.
bool ClaimLink(const std::string &link, int *claim, std::string *error);

// Points `link` at `target`, replacing an earlier symbolic link there (never
// another kind of file).
bool PublishLink(const std::string &link, const std::string &target, std::string *error);
// Removes `link` if it still points at `target`.
void WithdrawLink(const std::string &link, const std::string &target);

}  // namespace fpsim
