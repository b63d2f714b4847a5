#include "tests/sweep/call_sites.h"

#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <tuple>

namespace dpal::test {

namespace {

namespace fs = std::filesystem;

const char* const kProductDirectories[] = {"common", "loader", "core", "setprofile", "uninstaller"};

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The text with comments and the contents of string and character literals blanked out; line
// breaks stay where they were, so that positions keep their line numbers.
std::string CodeOnly(const std::string& text) {
  std::string out = text;
  enum { Code, Line, Block, String, Char } state = Code;
  for (size_t i = 0; i < out.size(); ++i) {
    const char c = text[i];
    const char next = i + 1 < text.size() ? text[i + 1] : '\0';
    switch (state) {
      case Code:
        if (c == '/' && next == '/') {
          state = Line;
          out[i] = ' ';
        } else if (c == '/' && next == '*') {
          state = Block;
          out[i] = ' ';
        } else if (c == '"') {
          state = String;
        } else if (c == '\'') {
          state = Char;
        }
        break;
      case Line:
        if (c == '\n') {
          state = Code;
        } else {
          out[i] = ' ';
        }
        break;
      case Block:
        if (c == '*' && next == '/') {
          out[i] = out[i + 1] = ' ';
          ++i;
          state = Code;
        } else if (c != '\n') {
          out[i] = ' ';
        }
        break;
      case String:
      case Char:
        if (c == '\\') {
          out[i] = ' ';
          if (i + 1 < out.size() && next != '\n') out[++i] = ' ';
        } else if ((state == String && c == '"') || (state == Char && c == '\'')) {
          state = Code;
        } else if (c != '\n') {
          out[i] = ' ';
        }
        break;
    }
  }
  return out;
}

int LineAt(const std::string& text, size_t position) {
  return 1 + static_cast<int>(std::count(text.begin(), text.begin() + position, '\n'));
}

std::vector<fs::path> SourceFiles(const fs::path& directory) {
  std::vector<fs::path> files;
  if (!fs::exists(directory)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) {
    const std::string extension = entry.path().extension().string();
    if (entry.is_regular_file() && (extension == ".cpp" || extension == ".h")) {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

bool CallSite::operator<(const CallSite& other) const {
  return std::tie(file, line, function) < std::tie(other.file, other.line, other.function);
}

bool CallSite::operator==(const CallSite& other) const {
  return file == other.file && line == other.line && function == other.function;
}

std::string CallSite::Describe() const {
  return file + ":" + std::to_string(line) + " " + function;
}

PlatformFunctions ReadPlatformFunctions(const std::string& source_dir) {
  PlatformFunctions functions;
  const std::regex definition(R"(\bWINAPI\s+(\w+)\s*\()");
  const std::regex method(R"(EnterMethod\(\s*"(\w+::\w+)\")");
  for (const fs::path& path : SourceFiles(fs::path(source_dir) / "platform" / "sim")) {
    if (path.extension() != ".cpp") continue;
    const std::string text = ReadText(path);
    for (std::sregex_iterator it(text.begin(), text.end(), method), end; it != end; ++it) {
      functions.failable.insert((*it)[1]);
    }
    // A definition at the start of a line runs to the next line that closes at column 0.
    const std::string code = CodeOnly(text);
    for (std::sregex_iterator it(code.begin(), code.end(), definition), end; it != end; ++it) {
      const size_t start = static_cast<size_t>(it->position(0));
      const size_t line_start = code.rfind('\n', start) + 1;
      if (text.compare(line_start, 10, "extern \"C\"") != 0 && code[line_start] == ' ') continue;
      const size_t open = code.find('{', start);
      const size_t semicolon = code.find(';', start);
      if (open == std::string::npos || semicolon < open) continue;  // a declaration
      const size_t close = code.find("\n}", open);
      const std::string body = code.substr(open, close - open);
      const std::string name = (*it)[1];
      if (body.find("SIM_ENTER_RELEASE(") != std::string::npos) {
        functions.releases.insert(name);
      } else if (body.find("SIM_ENTER(") != std::string::npos ||
                 body.find("Enter(") != std::string::npos ||
                 body.find("ChangeEvent(") != std::string::npos) {
        functions.failable.insert(name);
      }
    }
  }
  return functions;
}

SourceCallSites ReadSourceCallSites(const std::string& source_dir) {
  const PlatformFunctions platform = ReadPlatformFunctions(source_dir);
  // COM methods by their own name, called through an interface pointer.
  std::map<std::string, std::string> methods;
  for (const std::string& name : platform.failable) {
    const size_t colons = name.find("::");
    if (colons != std::string::npos) methods[name.substr(colons + 2)] = name;
  }
  std::vector<std::pair<fs::path, std::string>> files;  // path relative to the tree, code
  for (const char* directory : kProductDirectories) {
    for (const fs::path& path : SourceFiles(fs::path(source_dir) / directory)) {
      files.emplace_back(fs::relative(path, source_dir), ReadText(path));
    }
  }
  // The functions resolved by name at run time: the product's accessors that answer
  // ExportOf<...>(module, "Name") (or a constant holding the name), by accessor.
  std::map<std::string, std::string> constants;  // constant name -> the text it holds
  const std::regex constant(R"(constexpr\s+const\s+char\s+(\w+)\[\]\s*=\s*\"(\w+)\")");
  const std::regex accessor(
      R"(::(\w+)\(\)\s*const\s*\{[^}]*?ExportOf<\w+>\(\s*\w+\s*,\s*(\"?)(\w+))");
  std::map<std::string, std::string> accessors;  // accessor -> export name
  for (const auto& [path, text] : files) {
    for (std::sregex_iterator it(text.begin(), text.end(), constant), end; it != end; ++it) {
      constants[(*it)[1]] = (*it)[2];
    }
  }
  for (const auto& [path, text] : files) {
    for (std::sregex_iterator it(text.begin(), text.end(), accessor), end; it != end; ++it) {
      std::string name = (*it)[3];
      if ((*it)[2].length() == 0) {
        auto found = constants.find(name);
        if (found == constants.end()) continue;
        name = found->second;
      }
      if (platform.failable.count(name) != 0) accessors[(*it)[1]] = name;
    }
  }

  SourceCallSites sites;
  const std::regex call(R"((->|\.|::)?\s*\b(\w+)\s*\()");
  const std::regex resolved(R"(\bauto\s+(\w+)\s*=\s*\w+\s*\.\s*(\w+)\s*\(\s*\))");
  for (const auto& [path, text] : files) {
    const std::string code = CodeOnly(text);
    std::map<std::string, std::string> pointers;  // local variable -> export it holds
    for (std::sregex_iterator it(code.begin(), code.end(), resolved), end; it != end; ++it) {
      auto found = accessors.find((*it)[2]);
      if (found != accessors.end()) pointers[(*it)[1]] = found->second;
    }
    for (std::sregex_iterator it(code.begin(), code.end(), call), end; it != end; ++it) {
      const std::string qualifier = (*it)[1];
      const std::string name = (*it)[2];
      const int line = LineAt(code, static_cast<size_t>(it->position(2)));
      std::string function;
      if (qualifier == "->") {
        auto found = methods.find(name);
        if (found != methods.end()) function = found->second;
      } else if (qualifier.empty() || qualifier == "::") {
        if (platform.failable.count(name) != 0 || platform.releases.count(name) != 0) {
          function = name;
        } else if (auto found = pointers.find(name); found != pointers.end()) {
          function = found->second;
        }
      }
      if (function.empty()) continue;
      // The line of the parenthesis that closes the call.
      size_t at = static_cast<size_t>(it->position(0) + it->length(0));
      for (int depth = 1; at < code.size() && depth > 0; ++at) {
        if (code[at] == '(') ++depth;
        if (code[at] == ')') --depth;
      }
      CallSite site{path.string(), line, function, LineAt(code, at > 0 ? at - 1 : 0)};
      (platform.releases.count(function) != 0 ? sites.releases : sites.failable).insert(site);
    }
  }
  return sites;
}

CallSite SourceSiteOf(const SourceCallSites& source, const CallSite& failed) {
  for (const CallSite& site : source.failable) {
    if (site.file == failed.file && site.function == failed.function && site.line <= failed.line &&
        failed.line <= site.last_line) {
      return site;
    }
  }
  // A call passed as an argument can take the line of the call around it, a line or two above.
  for (const CallSite& site : source.failable) {
    if (site.file == failed.file && site.function == failed.function && failed.line < site.line &&
        site.line - failed.line <= 2) {
      return site;
    }
  }
  return failed;
}

void CallSiteRecorder::Add(const std::string& flow, const std::vector<sim::FiredFault>& faults) {
  auto& mine = faults_[flow];
  for (const sim::FiredFault& fault : faults) mine.insert({fault.function, fault.frames});
}

namespace {

// Where an address lies: the object file and the address as that file numbers it.
struct Located {
  std::string object;
  uintptr_t offset = 0;
};

Located Locate(void* address) {
  struct Search {
    uintptr_t address;
    Located found;
  } search{reinterpret_cast<uintptr_t>(address), {}};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& segment = info->dlpi_phdr[i];
          if (segment.p_type != PT_LOAD) continue;
          const uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
          if (s->address < begin || s->address >= begin + segment.p_memsz) continue;
          const std::string name = info->dlpi_name != nullptr ? info->dlpi_name : "";
          s->found.object = name.empty() ? "/proc/self/exe" : name;
          s->found.offset = s->address - info->dlpi_addr;
          return 1;
        }
        return 0;
      },
      &search);
  return search.found;
}

// The symboliser over the offsets of one object: per offset, the source places of its inline
// chain, innermost first, as "path:line". llvm-symbolizer, because addr2line (binutils 2.40)
// names a function defined in a header by the file of the unit that emitted it, with the
// header's line: a call in an inline member of common/com.h would count as a call on that line
// of the .cpp file that included it.
std::map<uintptr_t, std::vector<std::string>> Symbolise(const std::string& object,
                                                        const std::set<uintptr_t>& offsets,
                                                        std::vector<std::string>* problems) {
  std::map<uintptr_t, std::vector<std::string>> places;
  char input[] = "/tmp/dpal-call-sites-XXXXXX";
  const int fd = mkstemp(input);
  if (fd < 0) {
    problems->push_back("no temporary file for the symboliser");
    return places;
  }
  {
    std::ostringstream text;
    for (uintptr_t offset : offsets) text << "0x" << std::hex << offset << "\n";
    const std::string bytes = text.str();
    if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      problems->push_back("writing the addresses for the symboliser failed");
    }
    close(fd);
  }
  std::string object_path = object;
  if (object == "/proc/self/exe") object_path = fs::read_symlink("/proc/self/exe").string();
  const std::string command = "llvm-symbolizer --obj='" + object_path +
                              "' --addresses --inlines --functions=none --output-style=GNU < " +
                              input;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    problems->push_back("llvm-symbolizer could not be run");
    unlink(input);
    return places;
  }
  std::string output;
  char buffer[4096];
  for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
  if (pclose(pipe) != 0) problems->push_back("llvm-symbolizer failed on " + object_path);
  unlink(input);
  std::istringstream lines(output);
  std::vector<std::string>* current = nullptr;
  for (std::string line; std::getline(lines, line);) {
    if (StartsWith(line, "0x")) {
      current = &places[std::stoull(line, nullptr, 16)];
      continue;
    }
    if (current == nullptr) continue;
    const size_t discriminator = line.find(" (discriminator");
    if (discriminator != std::string::npos) line.erase(discriminator);
    current->push_back(line);
  }
  return places;
}

}  // namespace

std::map<std::string, std::set<CallSite>> CallSiteRecorder::Resolve(
    std::vector<std::string>* problems) {
  // Every distinct return address, by object. The place of a call is that of the byte before
  // its return address (the call instruction itself).
  std::map<void*, Located> located;
  std::map<std::string, std::set<uintptr_t>> offsets;
  for (const auto& [flow, faults] : faults_) {
    for (const auto& [function, frames] : faults) {
      for (void* frame : frames) {
        if (located.count(frame) != 0) continue;
        Located where = Locate(static_cast<char*>(frame) - 1);
        located[frame] = where;
        if (!where.object.empty()) offsets[where.object].insert(where.offset);
      }
    }
  }
  std::map<std::string, std::map<uintptr_t, std::vector<std::string>>> places;
  for (const auto& [object, wanted] : offsets) {
    places[object] = Symbolise(object, wanted, problems);
  }
  const std::string root = fs::weakly_canonical(source_dir_).string() + "/";
  const std::string sim_dir = "platform/sim/";
  std::map<std::string, std::set<CallSite>> sites;
  std::set<std::string> unresolved;
  for (const auto& [flow, faults] : faults_) {
    std::set<CallSite>& mine = sites[flow];
    for (const auto& [function, frames] : faults) {
      // The first place outside the sim, innermost first, is the caller of the platform. Places
      // outside the source tree before the first inside it are passed over: under the
      // sanitizers the innermost frame is their own interceptor of backtrace(3).
      std::string caller;
      bool in_tree = false;
      for (void* frame : frames) {
        const Located& where = located[frame];
        const auto& chain = places[where.object][where.offset];
        for (const std::string& place : chain) {
          in_tree = in_tree || StartsWith(place, root);
          if (!in_tree) continue;
          std::string relative = place;
          if (StartsWith(relative, root)) relative.erase(0, root.size());
          if (StartsWith(relative, sim_dir)) continue;
          caller = relative;
          break;
        }
        if (!caller.empty()) break;
      }
      if (caller.empty()) {
        unresolved.insert(function);
        continue;
      }
      const size_t colon = caller.rfind(':');
      if (colon == std::string::npos) continue;
      const std::string file = caller.substr(0, colon);
      const int line = std::atoi(caller.c_str() + colon + 1);
      const bool product = std::any_of(
          std::begin(kProductDirectories), std::end(kProductDirectories),
          [&](const char* directory) { return StartsWith(file, directory + std::string("/")); });
      if (product) mine.insert(CallSite{file, line, function});
    }
  }
  for (const std::string& function : unresolved) {
    problems->push_back("a failed call of " + function +
                        " has no caller that the symboliser knows");
  }
  return sites;
}

}  // namespace dpal::test
