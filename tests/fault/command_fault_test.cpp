// Whole copy commands run in-process over the fault-injecting platform: for
// every kind of file call, every error number, and every N up to the calls a
// clean run makes, the Nth call fails. Each run must either fail cleanly (a
// non-zero exit code, exactly one "ERROR: " line, no damaged chunk, the
// destination chunk map as it was) or, where the failed call is one the copy
// is built to get past, succeed with the right result. No run may leak a
// descriptor; LeakSanitizer checks memory at exit in the sanitizer build.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/file.h"
#include "base/test_folder.h"
#include "base/transfer.h"
#include "copy/commands.h"
#include "copy/copy_pipeline.h"
#include "frame/command.h"
#include "hash/chunk_hash.h"
#include "hash/deflate.h"
#include "platform/fault/fault_platform.h"
#include "tests/fault/fault_tables.h"
#include "store/chunk_map.h"
#include "store/store.h"

namespace {

namespace fs = std::filesystem;

constexpr uint64_t K = 8192;
const int ERRORS[] = {112, 5, 38, 2, 1117};

std::vector<uint8_t> read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void write_all(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::vector<uint8_t> random_chunk(uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(K);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// Deflates to well under half a chunk, so a compressing store keeps it small.
std::vector<uint8_t> text_chunk(uint32_t seed) {
  std::vector<uint8_t> v(K);
  for (size_t i = 0; i < K; i++) v[i] = static_cast<uint8_t>('a' + (i / 7 + seed) % 26);
  return v;
}

std::vector<uint8_t> join(const std::vector<std::vector<uint8_t>>& parts, size_t tail) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  // Only ever shortens the last part (erase, not resize: the compiler cannot
  // see that, and warns about a resize that could grow).
  if (tail < K && out.size() >= K) out.erase(out.end() - static_cast<ptrdiff_t>(K - tail), out.end());
  return out;
}

size_t open_descriptors() {
  size_t n = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++n;
  }
  return n;
}

bool is_chunk_name(const std::string& name) {
  if (name.size() != 64) return false;
  for (char c : name) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// A fresh folder for one run, on a memory file system where there is one:
// every map copy flushes the whole file system, which on a disk costs far
// more than the copy.
struct RunFolder {
  std::string path;
  RunFolder() {
    static const fs::path base = [] {
      std::error_code ec;
      const fs::path shm = "/dev/shm";
      if (fs::is_directory(shm, ec) && access_ok(shm)) return shm;
      return fs::temp_directory_path(ec);
    }();
    static uint64_t serial = 0;
    std::random_device random;
    std::error_code ec;
    for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
      const fs::path p = base / ("zuvo_fault_" + std::to_string(random()) + "_" +
                                 std::to_string(serial++));
      if (fs::create_directory(p, ec)) path = p.string();
    }
  }
  ~RunFolder() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  RunFolder(const RunFolder&) = delete;
  RunFolder& operator=(const RunFolder&) = delete;
  std::string at(const std::string& name) const { return path + "/" + name; }

  static bool access_ok(const fs::path& folder) {
    std::error_code ec;
    const fs::path probe = folder / ("zuvo_fault_probe_" + std::to_string(std::random_device()()));
    if (!fs::create_directory(probe, ec)) return false;
    fs::remove(probe, ec);
    return true;
  }
};

// One copy command and what a run of it must leave.
struct Scenario {
  const char* name;
  const char* source;     // relative to the run folder
  const char* dest;
  const char* dest_store;  // the destination's store folder, or null for a plain file
  bool source_is_map;
};

const Scenario SCENARIOS[] = {
    // An existing map of other data is replaced; the raw store holds some chunks.
    {"ingest into a raw store", "src.bin", "raw/file.bin", "raw", false},
    // A new map in a compressing store.
    {"ingest into a compressing store", "src.bin", "zip/new.bin", "zip", false},
    // A map of a compressing store rebuilt over a stale, shorter plain file.
    {"restore", "src/data.bin", "out.bin", nullptr, true},
    // From the compressing store into an existing map of the raw store.
    {"store to store", "src/data.bin", "raw/file.bin", "raw", true},
    // The map of the restore into a file that does not exist yet.
    {"restore to a new file", "src/data.bin", "new.bin", nullptr, true},
};

struct RunResult {
  int exit_code = 0;
  std::string output;
  bool fired = false;
  FaultRecord record{};
  uint64_t calls[FAULT_COUNT] = {};
};

int copy_quietly(const std::string& from, const std::string& to) {
  ScratchPool pool;
  return copy_file(&pool, nullptr, nullptr, COPY_DEFAULT_OPTIONS, from.c_str(), to.c_str(),
                   nullptr, nullptr);
}

// Runs the scenario's copy command in `run` with the Nth call of `kind`
// failing with `error` (n 0: nothing fails), its output captured.
RunResult run_command(const Scenario& s, const RunFolder& run, int kind, uint64_t n, int error) {
  RunResult r;
  const std::string capture = run.at("stdout.txt");
  OsHandle out = OS_NO_HANDLE;
  EXPECT_EQ(create_file(&out, capture.c_str(), 0), 0);
  const OsHandle saved = os_standard_handle(1);
  os_standard_handle_set(1, out);
  std::string source = run.at(s.source), dest = run.at(s.dest);
  std::string word = "copy";
  char* argv[] = {word.data(), source.data(), dest.data(), nullptr};
  CommandEntry entry{};
  CommandEntry* list = nullptr;
  register_command(&entry, &list, "copy", copy_command, nullptr, nullptr);
  int result;
  {
    FaultTables tables;
    fault_arm(kind, n, error);
    result = run_command_frame(&list, 3, argv, "zuvo", nullptr, nullptr, nullptr);
    r.fired = fault_fired(&r.record);
    for (int k = 0; k < FAULT_COUNT; k++) r.calls[k] = fault_calls(k);
  }
  unregister_command(&entry);
  os_standard_handle_set(1, saved);
  close_handle(out);
  r.exit_code = result == 0 ? 0 : exit_code_for_error(result);
  const auto bytes = read_all(capture);
  r.output.assign(bytes.begin(), bytes.end());
  fs::remove(capture);
  return r;
}

// The folder every run starts from, and the data the source file holds.
struct Template {
  TestFolder folder;
  std::vector<uint8_t> data;
  bool ready = false;

  Template() {
    const TestFolder& t = folder;
    const auto r1 = random_chunk(1), r2 = random_chunk(2), r3 = random_chunk(3);
    const auto t1 = text_chunk(1), t2 = text_chunk(2);
    // Seven chunks, the last one short; R1 and T1 repeat.
    data = join({r1, t1, r1, t2, r2, t1, random_chunk(4)}, 1000);
    write_all(t.at("src.bin"), data);
    ScratchPool pool;
    if (store_create(nullptr, &pool, nullptr, t.at("raw").c_str(), K, 0, 1, 2) != 0) return;
    if (store_create(nullptr, &pool, nullptr, t.at("zip").c_str(), K, 1, 1, 2) != 0) return;
    if (store_create(nullptr, &pool, nullptr, t.at("src").c_str(), K, 1, 1, 2) != 0) return;
    if (copy_quietly(t.at("src.bin"), t.at("src/data.bin")) != 0) return;
    // The raw store's existing map shares R1 with the data.
    write_all(t.at("old.bin"), join({r3, r1, t2}, K));
    if (copy_quietly(t.at("old.bin"), t.at("raw/file.bin")) != 0) return;
    // A stale copy: right at the start, wrong in the middle, too short.
    std::vector<uint8_t> stale(data.begin(), data.begin() + 4 * K);
    stale[2 * K + 5] ^= 0xFF;
    write_all(t.at("out.bin"), stale);
    ready = true;
  }
};

const Template& the_template() {
  static const Template t;
  return t;
}

// The state of a run folder before the command, for the checks after it.
struct Before {
  std::set<std::string> folders;
  bool dest_existed;
  std::vector<uint8_t> dest_bytes;
};

Before snapshot(const RunFolder& run, const Scenario& s) {
  Before b;
  for (const auto& e : fs::recursive_directory_iterator(run.path)) {
    if (e.is_directory()) b.folders.insert(e.path().string());
  }
  b.folders.insert(run.path);
  b.dest_existed = fs::exists(run.at(s.dest));
  if (b.dest_existed) b.dest_bytes = read_all(run.at(s.dest));
  return b;
}

std::string parent_of(const std::string& path) { return fs::path(path).parent_path().string(); }

// What a run with a failed call must end in.
enum Verdict { MUST_FAIL, MUST_SUCCEED, EITHER };

// The calls the copy is built to get past. EITHER marks the two where the
// outcome depends on which attempt or which worker the call was: the first
// create of a chunk's temporary file is retried once after its folders are
// made, and a folder made by one worker serves every chunk in it.
Verdict verdict(const FaultRecord& f, const Scenario& s, const RunFolder& run, const Before& b) {
  const std::string path = f.path;
  const std::string name = fs::path(path).filename().string();
  const std::string folder = parent_of(path);
  const std::string dest = run.at(s.dest);
  const bool in_dest_store =
      s.dest_store && path.rfind(run.at(s.dest_store) + "/.zuvo/", 0) == 0;
  switch (f.kind) {
    case FAULT_OPEN:
      // Removing a temporary file in clean-up; asking whether a name exists
      // or is a folder (no data access): the answer "no" is acted on safely.
      if (f.access & OS_DELETE) return MUST_SUCCEED;
      if (!(f.access & (OS_FILE_READ_DATA | OS_FILE_WRITE_DATA))) return MUST_SUCCEED;
      // Looking for a chunk the destination store may hold: missing means write it.
      if (in_dest_store && is_chunk_name(name)) return MUST_SUCCEED;
      // Looking for a store's description where there is no store.
      if (name == "_info" && !fs::exists(path)) return MUST_SUCCEED;
      return MUST_FAIL;
    case FAULT_READ:
      // The old content of a plain destination, read to skip unchanged chunks.
      return path == dest && !s.dest_store ? MUST_SUCCEED : MUST_FAIL;
    case FAULT_CREATE:
      // An existing plain destination is opened instead.
      if (path == dest && !s.dest_store && b.dest_existed) return MUST_SUCCEED;
      if (in_dest_store && name.rfind(".zuvo-tmp", 0) == 0) {
        return b.folders.count(folder) ? MUST_SUCCEED : EITHER;
      }
      return MUST_FAIL;
    case FAULT_MAKE_FOLDER:
      return b.folders.count(path) ? MUST_SUCCEED : EITHER;
    case FAULT_RENAME:
      return f.info_class == OS_FILE_DISPOSITION_INFO ? MUST_SUCCEED : MUST_FAIL;  // clean-up
    case FAULT_SET_END:
      // Reserving a new destination's blocks only speeds the writes up; a
      // full disk must end the copy before any data moves.
      if (f.info_class == OS_FILE_ALLOCATION_INFO) return f.error == 112 ? MUST_FAIL : MUST_SUCCEED;
      return MUST_FAIL;
    case FAULT_SYNC:
      // The folder of the published map, after the map is in place.
      return path == parent_of(dest) ? MUST_SUCCEED : MUST_FAIL;
    default:
      return MUST_FAIL;
  }
}

// Every chunk file holds what its name promises; temporary files remain only
// when removing one was the failed call. Stores the chunk files found, by
// their path below the run folder.
void check_stores(const RunFolder& run, const RunResult& r, const std::string& label,
                  std::set<std::string>* out_chunks) {
  // Contents already hashed and found right, by name: most runs hold the same
  // few chunk files, and comparing bytes is far cheaper than hashing them.
  static std::map<std::string, std::vector<uint8_t>> verified;
  ChunkHasher* hasher = nullptr;
  ASSERT_EQ(chunk_hasher_new(&hasher), 0);
  const bool delete_failed =
      r.fired && ((r.record.kind == FAULT_RENAME && r.record.info_class == OS_FILE_DISPOSITION_INFO) ||
                  (r.record.kind == FAULT_OPEN && (r.record.access & OS_DELETE)));
  std::vector<uint8_t> plain(K);
  for (const auto& e : fs::recursive_directory_iterator(run.path)) {
    const std::string name = e.path().filename().string();
    if (name.rfind(".zuvo-tmp", 0) == 0) {
      EXPECT_TRUE(delete_failed) << label << ": temporary file left: " << e.path();
      continue;
    }
    if (!e.is_regular_file() || !is_chunk_name(name)) continue;
    out_chunks->insert(e.path().string().substr(run.path.size()));
    const auto bytes = read_all(e.path().string());
    const auto known = verified.find(name);
    if (known != verified.end() && known->second == bytes) continue;
    const uint8_t* content = bytes.data();
    if (bytes.size() < K) {
      size_t produced = 0;
      const int rc = chunk_uncompress(bytes.data(), bytes.size(), plain.data(), K, &produced);
      EXPECT_TRUE(rc == 0 && produced == K) << label << ": damaged chunk " << e.path();
      if (rc != 0 || produced != K) continue;
      content = plain.data();
    } else {
      EXPECT_EQ(bytes.size(), K) << label << ": damaged chunk " << e.path();
      if (bytes.size() != K) continue;
    }
    uint8_t hash[CHUNK_HASH_SIZE];
    chunk_hash(hasher, content, K, hash);
    char hex[65];
    for (int i = 0; i < 32; i++) std::snprintf(hex + 2 * i, 3, "%02x", hash[i]);
    EXPECT_EQ(name, std::string(hex, 64)) << label << ": wrong content under " << e.path();
    if (name == std::string(hex, 64)) verified[name] = bytes;
  }
  chunk_hasher_destroy(hasher);
}

int error_lines(const std::string& output) {
  int n = 0;
  size_t at = 0;
  while (at < output.size()) {
    size_t end = output.find('\n', at);
    if (end == std::string::npos) end = output.size();
    if (output.compare(at, 7, "ERROR: ") == 0) ++n;
    at = end + 1;
  }
  return n;
}

// What a successful run leaves: the destination's bytes and the chunk files.
struct Expected {
  std::vector<uint8_t> dest;
  std::set<std::string> chunks;
};

// Runs one scenario with the Nth call of `kind` failing and checks the
// outcome against `expected`, the result of a clean run. With a null
// `expected` the run is a clean one: it is checked in full (a map must
// rebuild the data) and its result stored in *out_expected.
RunResult run_and_check(const Scenario& s, int kind, uint64_t n, int error,
                        const Expected* expected, Expected* out_expected) {
  const TestFolder& tmpl = the_template().folder;
  const std::vector<uint8_t>& data = the_template().data;
  RunFolder run;
  fs::copy(tmpl.path, run.path, fs::copy_options::recursive);
  const Before before = snapshot(run, s);
  const std::string label = std::string(s.name) + ", " + fault_kind_name(kind) + " #" +
                            std::to_string(n) + " fails with " + std::to_string(error);
  const size_t fds = open_descriptors();
  const RunResult r = run_command(s, run, kind, n, error);
  EXPECT_EQ(open_descriptors(), fds) << label << ": descriptors leaked";
  std::set<std::string> chunks;
  check_stores(run, r, label, &chunks);
  const std::string dest = run.at(s.dest);
  const std::string where = r.fired ? std::string(" (failed call on \"") + r.record.path + "\")" : "";
  if (r.exit_code != 0) {
    EXPECT_TRUE(r.fired) << label << ": a clean run failed:\n" << r.output;
    EXPECT_EQ(error_lines(r.output), 1) << label << where << ":\n" << r.output;
    if (r.fired) {
      EXPECT_NE(verdict(r.record, s, run, before), MUST_SUCCEED)
          << label << where << ": should have been got past:\n" << r.output;
    }
    if (r.fired && r.record.info_class == OS_FILE_ALLOCATION_INFO && !before.dest_existed) {
      EXPECT_FALSE(fs::exists(dest)) << label << ": the file without its space was left";
    }
    if (s.dest_store) {
      if (before.dest_existed) {
        EXPECT_TRUE(read_all(dest) == before.dest_bytes) << label << where << ": map changed";
      } else {
        EXPECT_FALSE(fs::exists(dest)) << label << where << ": a map was left";
      }
    }
    return r;
  }
  EXPECT_EQ(error_lines(r.output), 0) << label << where << ":\n" << r.output;
  if (r.fired) {
    EXPECT_NE(verdict(r.record, s, run, before), MUST_FAIL)
        << label << where << ": the failure was reported as success:\n" << r.output;
  }
  const std::vector<uint8_t> result = read_all(dest);
  if (expected) {
    EXPECT_TRUE(result == expected->dest) << label << where << ": wrong destination";
    for (const std::string& c : expected->chunks) {
      EXPECT_TRUE(chunks.count(c)) << label << where << ": chunk file missing: " << c;
    }
    return r;
  }
  if (s.dest_store) {
    EXPECT_TRUE(result.size() >= 8 && std::memcmp(result.data(), CHUNK_MAP_MAGIC, 8) == 0)
        << label << ": not a chunk map";
    const std::string back = run.at("back.bin");
    ScratchPool pool;
    EXPECT_EQ(copy_file(&pool, nullptr, nullptr, COPY_DEFAULT_OPTIONS, dest.c_str(), back.c_str(),
                        nullptr, nullptr),
              0)
        << label;
    EXPECT_TRUE(read_all(back) == data) << label << ": the map does not rebuild the data";
  } else {
    EXPECT_TRUE(result == data) << label << ": wrong restored file";
  }
  out_expected->dest = result;
  out_expected->chunks = chunks;
  return r;
}

// Walks every kind, error and N of one scenario and prints how many runs each
// kind had and how many of them the copy got past.
void walk(const Scenario& s) {
  ASSERT_TRUE(the_template().ready);
  Expected expected;
  const RunResult clean = run_and_check(s, 0, 0, 0, nullptr, &expected);
  ASSERT_EQ(clean.exit_code, 0) << clean.output;
  // A restored file's size and blocks were still only in memory when the copy
  // reported success: it is flushed, once.
  if (!s.dest_store) {
    EXPECT_EQ(clean.calls[FAULT_SYNC], 1u) << s.name;
  }
  std::string summary = std::string(s.name) + ":";
  for (int kind = 0; kind < FAULT_COUNT; kind++) {
    uint64_t runs = 0;
    uint64_t succeeded = 0;
    for (int error : ERRORS) {
      for (uint64_t n = 1; n <= clean.calls[kind]; n++) {
        const RunResult r = run_and_check(s, kind, n, error, &expected, nullptr);
        ++runs;
        if (r.exit_code == 0) ++succeeded;
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
    summary += std::string(" ") + fault_kind_name(kind) + " " + std::to_string(clean.calls[kind]) +
               " calls/" + std::to_string(runs) + " runs/" + std::to_string(succeeded) + " ok;";
  }
  std::printf("%s\n", summary.c_str());
}

TEST(CommandFaults, IngestIntoRawStore) { walk(SCENARIOS[0]); }
TEST(CommandFaults, IngestIntoCompressingStore) { walk(SCENARIOS[1]); }
TEST(CommandFaults, Restore) { walk(SCENARIOS[2]); }
TEST(CommandFaults, StoreToStore) { walk(SCENARIOS[3]); }
TEST(CommandFaults, RestoreToNewFile) { walk(SCENARIOS[4]); }

}  // namespace
