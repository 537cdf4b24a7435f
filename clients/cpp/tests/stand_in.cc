// A stand-in helper for the client's process tests. It says how it was started:
//   "started uid=<uid> pdeathsig=<signal> sid=<1 if it leads its session> fds=<open fds>"
// then obeys lines: "exit <n>" exits with n, "kill" raises SIGKILL on itself, a set
// command is answered like a helper whose event queue overflows now and then, anything
// else is echoed back. "env" writes its environment as "env <entry>|<entry>|...". A stop
// command gets a bye and exit 0 (after a "deaf" line it is ignored); the bye also
// creates the file named by KL_STAND_IN_MARK, if set. End of input exits with 3.

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <cstdlib>
#include <iostream>
#include <string>

extern char** environ;

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
  bool deaf = false;
  for (std::string line; std::getline(std::cin, line);) {
    if (line.rfind("exit ", 0) == 0) return std::atoi(line.c_str() + 5);
    if (line == "deaf") {
      deaf = true;
      continue;
    }
    if (line == "env") {
      std::string all;
      for (char** e = environ; *e != nullptr; ++e) all += (all.empty() ? "" : "|") + std::string(*e);
      std::cout << "env " << all << std::endl;
      continue;
    }
    if (line == R"({"cmd":"stop"})") {
      if (deaf) continue;
      if (const char* mark = std::getenv("KL_STAND_IN_MARK")) std::ofstream(mark) << "bye\n";
      std::cout << R"({"ev":"bye","why":"stop","code":0,"cpuS":0.5,"gpuS":0})" << std::endl;
      return 0;
    }
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
