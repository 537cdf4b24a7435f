// A stand-in helper for the client's process tests. It says how it was started:
//   "started uid=<uid> pdeathsig=<signal> sid=<1 if it leads its session> fds=<open fds>"
// then obeys lines: "exit <n>" exits with n, "kill" raises SIGKILL on itself, a set
// command is answered like a helper whose event queue overflows now and then, anything
// else is echoed back. End of input exits with 3.

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

int main() {
  int death_signal = 0;
  prctl(PR_GET_PDEATHSIG, &death_signal, 0, 0, 0);
  int fds = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (const dirent* e = readdir(d)) fds += e->d_name[0] != '.';
    closedir(d);
    --fds;  // the directory's own descriptor
  }
  std::cout << "started uid=" << getuid() << " pdeathsig=" << death_signal
            << " sid=" << (getsid(0) == getpid() ? 1 : 0) << " fds=" << fds << std::endl;
  for (std::string line; std::getline(std::cin, line);) {
    if (line.rfind("exit ", 0) == 0) return std::atoi(line.c_str() + 5);
    if (line == "kill") raise(SIGKILL);
    if (line.rfind(R"({"cmd":"set","seq":)", 0) == 0) {
      // Another event first, then the ack, which is lost for an odd seq and for every seq
      // from 1000 on.
      const unsigned long long seq = std::strtoull(line.c_str() + 19, nullptr, 10);
      std::cout << R"({"ev":"error","code":"badLine","detail":"seen )" << seq << "\"}" << std::endl;
      if (seq % 2 == 0 && seq < 1000) std::cout << R"({"ev":"ack","seq":)" << seq << "}" << std::endl;
      continue;
    }
    std::cout << line << std::endl;
  }
  return 3;
}
