#include "tree.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

const char directoryMark[] = "<directory>";
const char linkMark[] = "<link to baseq3>";
const char nowhereMark[] = "<link to nothing>";

ScratchDir::ScratchDir(const std::string &label) {
  auto seed = (unsigned long long)std::chrono::steady_clock::now().time_since_epoch().count();
  for (unsigned attempt = 0;; attempt++) {
    path = fs::temp_directory_path() /
           (label + "-" + std::to_string(seed % 1000000007ULL) + "-" + std::to_string(attempt));
    if (fs::create_directory(path)) {
      return;
    }
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path, ignored);
}

WorkingDir::WorkingDir(const fs::path &dir) : previous(fs::current_path()) {
  fs::current_path(dir);
}

WorkingDir::~WorkingDir() {
  fs::current_path(previous);
}

Snapshot snapshot(const fs::path &dir) {
  Snapshot tree;
  for (const auto &entry : fs::recursive_directory_iterator(dir)) {
    std::string name = entry.path().lexically_relative(dir).generic_string();
    tree[name] = entry.is_symlink()     ? (fs::exists(entry.path()) ? linkMark : nowhereMark)
                 : entry.is_directory() ? directoryMark
                                        : readFile(entry.path());
  }
  return tree;
}

void writeFile(const fs::path &file, const std::string &content) {
  std::ofstream out(file, std::ios::binary);
  out << content;
  if (!out.flush()) {
    throw std::runtime_error("cannot write " + file.string());
  }
}

std::string readFile(const fs::path &file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void plant(const fs::path &dir, const Snapshot &tree) {
  for (const auto &[name, content] : tree) {
    fs::path target = dir / fs::path(name);
    fs::create_directories(content == directoryMark ? target : target.parent_path());
    if (content == linkMark) {
      fs::create_directory_symlink("baseq3", target);
    } else if (content == nowhereMark) {
      fs::create_symlink("nothing here", target);
    } else if (content != directoryMark) {
      writeFile(target, content);
    }
  }
}

Snapshot arrangement(int active, const std::string &client43, const std::string &client68) {
  bool is43 = active == 43;
  Snapshot tree = {
      {"baseq3", directoryMark},
      {"baseq3/pak0.pk3", "pak pak0 (both)"},
      {is43 ? "quake3.exe" : "quake3.16", client43},
      {is43 ? "quake3.32" : "quake3.exe", client68},
  };
  for (const char *name : {"{tarn}", "!tarn!"}) {
    tree[std::string("baseq3/") + name + (is43 ? ".pk3" : ".16")] = std::string("pak ") + name;
  }
  for (const char *name : {"pak3", "pak4", "pak5", "pak6", "pak7", "pak8"}) {
    tree[std::string("baseq3/") + name + (is43 ? ".32" : ".pk3")] = std::string("pak ") + name;
  }
  return tree;
}

std::map<std::string, int> contents(const Snapshot &tree) {
  std::map<std::string, int> counts;
  for (const auto &[name, content] : tree) {
    if (content != directoryMark) {
      counts[content]++;
    }
  }
  return counts;
}
