// JSON costs of the launcher, side by side with RapidJSON doing the same job:
// decoding state.json into an InstallState, skipping a large unknown member,
// and encoding in the pretty layout. RapidJSON is only a yardstick here; the
// product never links it.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/file.hpp"
#include "state/install_state.hpp"

namespace {

using brindlecast::InstallState;

// A state on trial whose versions map holds `entries` slots, in the layout the
// launcher saves.
std::string state_document(std::int64_t entries) {
  InstallState state;
  state.active = "1.4." + std::to_string(entries - 1);
  state.known_good = "1.4.0";
  state.channel = "stable";
  state.pending = state.active;
  state.failed_starts = 1;
  for (std::int64_t i = 0; i < entries; ++i) {
    const std::string slot = "1.4." + std::to_string(i);
    state.versions.emplace(slot, i % 10 == 9 ? std::nullopt : std::optional<std::string>(slot));
  }
  return brindlecast::write_install_state(state, brindlecast::json::Layout::Pretty);
}

// About `size` bytes of nested arrays and objects holding every kind of value,
// some of it nested 64 deep, as the value of an unknown member.
std::string document_with_unknown_member(std::size_t size) {
  std::string doc =
      "{\"active\": \"1.4.2\", \"known_good\": \"1.4.1\", \"channel\": \"stable\", \"extra\": [\n";
  doc.reserve(size + 4096);
  std::uint64_t n = 0;
  while (doc.size() < size) {
    doc += "  {\"id\": ";
    doc += std::to_string(n * 7919 % 1000003);
    doc += ", \"name\": \"record number ";
    doc += std::to_string(n);
    doc +=
        " with an \\\"escaped\\\" quote and \\u00e9\", \"score\": -12.5e-3, \"ok\": true, \"gone\": null,\n";
    doc +=
        "   \"tags\": [\"alpha\", \"beta\", \"gamma\", false], \"matrix\": [[1, 2, 3], [4, 5, 6], []], "
        "\"meta\": {}}";
    if (++n % 64 == 0) {
      doc += ",\n  ";
      for (int d = 0; d < 32; ++d) doc += "[{\"k\": ";
      doc += "0";
      for (int d = 0; d < 32; ++d) doc += "}]";
    }
    doc += ",\n";
  }
  doc += "  0\n]}\n";
  return doc;
}

const std::string& cached_state_document(std::int64_t entries) {
  static std::array<std::string, 3> docs;
  const std::size_t i = entries == 10 ? 0 : entries == 1000 ? 1 : 2;
  if (docs[i].empty()) docs[i] = state_document(entries);
  return docs[i];
}

const std::string& big_document() {
  static const std::string doc = document_with_unknown_member(100u << 20);
  return doc;
}

// Fills an InstallState from RapidJSON's document, with the same type checks
// and required members as the launcher's decoder (error texts aside).
bool fill_from_rapidjson(std::string_view bytes, InstallState& state) {
  rapidjson::Document d;
  d.Parse<rapidjson::kParseValidateEncodingFlag>(bytes.data(), bytes.size());
  if (d.HasParseError() || !d.IsObject()) return false;
  bool has_active = false, has_known_good = false, has_channel = false;
  for (const auto& m : d.GetObject()) {
    const std::string_view key(m.name.GetString(), m.name.GetStringLength());
    const auto& v = m.value;
    const auto text = [&](std::string& target) {
      if (!v.IsString()) return false;
      target.assign(v.GetString(), v.GetStringLength());
      return true;
    };
    if (key == "active") {
      if (!text(state.active)) return false;
      has_active = true;
    } else if (key == "known_good") {
      if (!text(state.known_good)) return false;
      has_known_good = true;
    } else if (key == "channel") {
      if (!text(state.channel)) return false;
      has_channel = true;
    } else if (key == "pending") {
      if (v.IsNull()) {
        state.pending.reset();
      } else if (!v.IsString() || !text(state.pending.emplace())) {
        return false;
      }
    } else if (key == "failed_starts" || key == "boot_attempts") {
      if (!v.IsUint()) return false;
      state.failed_starts = v.GetUint();
    } else if (key == "started_ok" || key == "relaunch_intent") {
      if (!v.IsBool()) return false;
      (key == "started_ok" ? state.started_ok : state.relaunch_intent) = v.GetBool();
    } else if (key == "versions") {
      if (!v.IsObject()) return false;
      for (const auto& e : v.GetObject()) {
        std::optional<std::string> version;
        if (e.value.IsString()) {
          version.emplace(e.value.GetString(), e.value.GetStringLength());
        } else if (!e.value.IsNull()) {
          return false;
        }
        // At the end first, as the launcher's decoder inserts.
        state.versions.insert_or_assign(state.versions.end(),
                                        std::string(e.name.GetString(), e.name.GetStringLength()),
                                        std::move(version));
      }
    }
  }
  return has_active && has_known_good && has_channel;
}

void BM_DecodeState(benchmark::State& st) {
  const std::string& doc = cached_state_document(st.range(0));
  for (auto _ : st) {
    auto state = brindlecast::parse_install_state(doc);
    if (!state) st.SkipWithError("decode failed");
    benchmark::DoNotOptimize(state);
  }
  st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations() * doc.size()));
}

void BM_DecodeStateRapidJson(benchmark::State& st) {
  const std::string& doc = cached_state_document(st.range(0));
  for (auto _ : st) {
    InstallState state;
    if (!fill_from_rapidjson(doc, state)) st.SkipWithError("decode failed");
    benchmark::DoNotOptimize(state);
  }
  st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations() * doc.size()));
}

void BM_SkipUnknownMember(benchmark::State& st) {
  const std::string& doc = big_document();
  for (auto _ : st) {
    auto state = brindlecast::parse_install_state(doc);
    if (!state) st.SkipWithError(state.error().full_text().c_str());
    benchmark::DoNotOptimize(state);
  }
  st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations() * doc.size()));
}

// RapidJSON's event reader with a handler that keeps nothing: its fastest way
// through a document it does not need.
void BM_SkipUnknownMemberRapidJson(benchmark::State& st) {
  const std::string& doc = big_document();
  for (auto _ : st) {
    rapidjson::BaseReaderHandler<> handler;
    rapidjson::Reader reader;
    rapidjson::MemoryStream ms(doc.data(), doc.size());
    if (!reader.Parse<rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag>(ms, handler)) {
      st.SkipWithError("parse failed");
    }
  }
  st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations() * doc.size()));
}

void BM_EncodePretty(benchmark::State& st) {
  const auto state = brindlecast::parse_install_state(cached_state_document(st.range(0)));
  std::size_t bytes = 0;
  for (auto _ : st) {
    const std::string text = brindlecast::write_install_state(*state, brindlecast::json::Layout::Pretty);
    bytes += text.size();
    benchmark::DoNotOptimize(text.data());
  }
  st.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void BM_EncodePrettyRapidJson(benchmark::State& st) {
  const auto state = brindlecast::parse_install_state(cached_state_document(st.range(0)));
  std::size_t bytes = 0;
  for (auto _ : st) {
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> w(buffer);
    w.SetIndent(' ', 2);
    const auto str = [&](const std::string& s) {
      w.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
    };
    w.StartObject();
    w.Key("active");
    str(state->active);
    w.Key("known_good");
    str(state->known_good);
    w.Key("channel");
    str(state->channel);
    w.Key("pending");
    state->pending ? str(*state->pending) : (void)w.Null();
    w.Key("failed_starts");
    w.Uint(state->failed_starts);
    w.Key("started_ok");
    w.Bool(state->started_ok);
    w.Key("versions");
    w.StartObject();
    for (const auto& [slot, version] : state->versions) {
      str(slot);
      version ? str(*version) : (void)w.Null();
    }
    w.EndObject();
    w.Key("relaunch_intent");
    w.Bool(state->relaunch_intent);
    w.EndObject();
    bytes += buffer.GetSize();
    benchmark::DoNotOptimize(buffer.GetString());
  }
  st.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

// The read that precedes every start: a small state.json from the page cache.
void BM_ReadStateFile(benchmark::State& st) {
  char path[] = "/tmp/brindlecast-bench-XXXXXX";
  const int fd = mkstemp(path);
  const std::string& doc = cached_state_document(10);
  if (fd < 0 || write(fd, doc.data(), doc.size()) != static_cast<ssize_t>(doc.size())) {
    st.SkipWithError("cannot write the file");
    return;
  }
  close(fd);
  for (auto _ : st) {
    auto bytes = brindlecast::read_file(path);
    if (!bytes) st.SkipWithError("read failed");
    benchmark::DoNotOptimize(bytes);
  }
  unlink(path);
}

BENCHMARK(BM_DecodeState)->Arg(10)->Arg(1000)->Arg(100000);
BENCHMARK(BM_DecodeStateRapidJson)->Arg(10)->Arg(1000)->Arg(100000);
BENCHMARK(BM_SkipUnknownMember)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SkipUnknownMemberRapidJson)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodePretty)->Arg(10)->Arg(1000)->Arg(100000);
BENCHMARK(BM_EncodePrettyRapidJson)->Arg(10)->Arg(1000)->Arg(100000);
BENCHMARK(BM_ReadStateFile);

}  // namespace

BENCHMARK_MAIN();
