// vantorix-json: reads a UTF-8 JSON text on standard input and writes it back in the compact
// form (default), the line form, or the indented log rendering of the line form.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "json/FormatJson.h"
#include "json/JsonDocument.h"
#include "json/JsonUtf8.h"
#include "platform/Console.h"

namespace {

constexpr const char* kUsage =
    "usage: vantorix-json [--compact | --lines | --format] < input.json\n"
    "  --compact  compact form, one line (default)\n"
    "  --lines    line form: TAB indentation, LF line breaks\n"
    "  --format   the log's indented rendering of the line form (four spaces, CR LF)\n"
    "A parse error prints its message on standard error and exits 1; a blank input prints\n"
    "nothing.\n";

enum class TMode { kCompact, kLines, kFormat };

void WriteOut(std::FILE* stream, const std::string& bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
}

}  // namespace

int main(int argc, char** argv) {
  // Bytes in and out unchanged: no CR before each LF on Windows.
  vantorix::UseUtf8StandardStreams();
  TMode mode = TMode::kCompact;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--compact") == 0) {
      mode = TMode::kCompact;
    } else if (std::strcmp(argv[i], "--lines") == 0) {
      mode = TMode::kLines;
    } else if (std::strcmp(argv[i], "--format") == 0) {
      mode = TMode::kFormat;
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "vantorix-json: unknown argument '%s'\n%s", argv[i], kUsage);
      return 2;
    }
  }

  std::string input;
  char buffer[65536];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, stdin)) > 0)
    input.append(buffer, got);
  if (std::ferror(stdin)) {
    std::fputs("vantorix-json: cannot read standard input\n", stderr);
    return 2;
  }

  const std::u16string text = vantorix::JsonUtf8Decode(input);
  std::unique_ptr<vantorix::TJsonNode> root;
  try {
    root = vantorix::TJsonNode::Parse(text);
  } catch (const vantorix::EJsonParseError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  if (!root)
    return 0;  // blank input

  switch (mode) {
    case TMode::kCompact:
      WriteOut(stdout, vantorix::JsonUtf8Encode(root->ToJSON(true)) + "\n");
      break;
    case TMode::kLines:  // the line form ends with its own LF
      WriteOut(stdout, vantorix::JsonUtf8Encode(root->ToJSON(false)));
      break;
    case TMode::kFormat:
      WriteOut(stdout, vantorix::JsonUtf8Encode(vantorix::FormatJSON(root->ToJSON(false))) + "\n");
      break;
  }
  return std::fflush(stdout) == 0 ? 0 : 2;
}
