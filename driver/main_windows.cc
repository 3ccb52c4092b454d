// The process entry point on Windows: the wide command line, split by the
// platform's rules, and standard output as bytes, so that the tool's own
// CR LF is written once.
#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>

#include "driver/entry.h"
#include "library/kernel.h"
#include "text/output.h"

int wmain(int argc, wchar_t* argv[]) {
  _setmode(_fileno(stdout), _O_BINARY);
  // A console shows every message as it comes; a file or a pipe gets them in
  // large writes.
  const bool console = _isatty(_fileno(stdout)) != 0;
  static char buffer[1 << 16];
  if (!console) std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  StdioOutput output(stdout, console);
  SetMessageOutput(&output);

  const int status =
      KestruneMain(argc, argv, [](std::uint32_t milliseconds) { Sleep(milliseconds); });
  SetMessageOutput(nullptr);
  return status;
}
