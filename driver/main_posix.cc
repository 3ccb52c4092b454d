// The process entry point on hosts other than Windows: the arguments arrive
// as UTF-8 and are handed on as UTF-16.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <new>
#include <vector>

#include "driver/entry.h"
#include "driver/utf8.h"
#include "folder/folder_library.h"
#include "library/kernel.h"
#include "text/output.h"

namespace {

int Main(int argc, char* argv[]) {
  std::vector<WideString> arguments;
  arguments.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) arguments.push_back(Utf8ToWide(argv[i]));
  std::vector<const WideChar*> wideArgv;
  for (const WideString& argument : arguments) wideArgv.push_back(argument.c_str());
  wideArgv.push_back(nullptr);

  // A console shows every message as it comes; a file or a pipe gets them in
  // large writes.
  const bool console = isatty(STDOUT_FILENO) != 0;
  static char buffer[1 << 16];
  if (!console) std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  StdioOutput output(stdout, console);
  SetMessageOutput(&output);

  CFolderLibrary library;
  const int status =
      KestruneMain(argc, wideArgv.data(), [](std::uint32_t milliseconds) { Sleep(milliseconds); });
  SetMessageOutput(nullptr);
  return status;
}

}  // namespace

int main(int argc, char* argv[]) {
  // A file-size limit makes a write fail, to be refused with its reason;
  // the signal would end the run with every message still unwritten.
  std::signal(SIGXFSZ, SIG_IGN);
  try {
    return Main(argc, argv);
  } catch (const std::bad_alloc&) {
    // Every file is whole at any stop; only the run is cut short.
    std::fflush(stdout);
    std::fputs("kestrune: out of memory; the run stopped there\n", stderr);
    return 0;
  }
}
