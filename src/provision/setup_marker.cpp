// The setup marker: how it is written, and the strict reading that accepts
// only what a marker can legitimately hold.

#include <nlohmann/json.hpp>

#include <set>
#include <vector>

#include "base/json_text.h"
#include "base/path.h"
#include "base/text.h"
#include "provision/setup_marker.h"

namespace tessarin {
namespace {

// Arrays and objects may nest this deep, the outermost value being the first
// level.
constexpr std::size_t kMaxDepth = 127;

// Checks the marker's shape as the events arrive, so that a repeated key is
// seen (a DOM would let the last one win) and nothing deeper than the limit
// is ever built.
class MarkerReader final : public nlohmann::json_sax<nlohmann::json> {
 public:
  bool null() override { return scalar(); }
  bool boolean(bool) override { return scalar(); }
  bool number_integer(number_integer_t) override {
    // Only negative numbers arrive here; -0 is refused with them.
    return scalar();
  }
  bool number_unsigned(number_unsigned_t value) override {
    if (slot() == Slot::kVersion) {
      if (value > 0xFFFFFFFFu) return false;
      marker_.version = static_cast<std::uint32_t>(value);
      have_version_ = true;
      count();
      return true;
    }
    return scalar();
  }
  // Fractions, exponent forms and integers too large for 64 bits.
  bool number_float(number_float_t, const string_t&) override { return scalar(); }
  bool string(string_t& value) override {
    if (!is_valid_utf8(value)) return false;
    if (slot() == Slot::kProfile) {
      marker_.offline_profiles.push_back(value);
      count();
      return true;
    }
    return scalar();
  }
  bool binary(binary_t&) override { return false; }

  bool start_object(std::size_t) override { return open(true); }
  bool key(string_t& key) override {
    if (!is_valid_utf8(key)) return false;
    Frame& frame = frames_.back();
    if (!frame.keys.insert(key).second) return false;
    if (frame.role == Role::kTop) {
      pending_ = key == "version"            ? Slot::kVersion
                 : key == "offline_profiles" ? Slot::kProfiles
                                             : Slot::kSkip;
    }
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override { return open(false); }
  bool end_array() override { return close(); }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

  bool complete() const { return complete_; }
  SetupMarker& marker() { return marker_; }

 private:
  enum class Role { kTop, kProfiles, kSkip };
  enum class Slot { kNone, kVersion, kProfiles, kProfile, kSkip };
  struct Frame {
    bool object = false;
    Role role = Role::kSkip;
    std::size_t elements = 0;
    std::set<std::string> keys;
  };

  // What the value about to arrive stands for.
  Slot slot() const {
    if (frames_.empty()) return Slot::kNone;
    const Frame& frame = frames_.back();
    switch (frame.role) {
      case Role::kProfiles:
        return Slot::kProfile;
      case Role::kSkip:
        return Slot::kSkip;
      case Role::kTop:
        if (frame.object) return pending_;
        if (frame.elements == 0) return Slot::kVersion;
        if (frame.elements == 1) return Slot::kProfiles;
        return Slot::kNone;  // a third element
    }
    return Slot::kNone;
  }

  // Counts one more element of the enclosing array.
  void count() {
    if (!frames_.empty()) ++frames_.back().elements;
  }

  bool scalar() {
    const Slot s = slot();
    count();
    // A scalar is fine only where its value is skipped.
    return s == Slot::kSkip;
  }

  bool open(bool object) {
    if (frames_.size() + 1 > kMaxDepth) return false;
    Role role = Role::kSkip;
    switch (slot()) {
      case Slot::kNone:
        // The outermost value; anywhere else kNone is a value with no place.
        if (!frames_.empty() || seen_top_) return false;
        seen_top_ = true;
        role = Role::kTop;
        break;
      case Slot::kProfiles:
        if (object) return false;
        role = Role::kProfiles;
        have_profiles_ = true;
        break;
      case Slot::kSkip:
        role = Role::kSkip;
        break;
      case Slot::kVersion:
      case Slot::kProfile:
        return false;
    }
    count();
    frames_.push_back(Frame{object, role, 0, {}});
    return true;
  }

  bool close() {
    const Frame frame = std::move(frames_.back());
    frames_.pop_back();
    if (frame.role == Role::kTop) {
      if (!frame.object && frame.elements != 2) return false;
      if (!have_version_ || !have_profiles_) return false;
      complete_ = true;
    }
    return true;
  }

  std::vector<Frame> frames_;
  Slot pending_ = Slot::kNone;
  bool seen_top_ = false;
  bool have_version_ = false;
  bool have_profiles_ = false;
  bool complete_ = false;
  SetupMarker marker_;
};

}  // namespace

std::string serialize_setup_marker(const SetupMarker& marker) {
  std::string out = "{\n  \"version\": ";
  out += decimal(marker.version);
  out += ",\n  \"offline_profiles\": ";
  if (marker.offline_profiles.empty()) {
    out += "[]";
  } else {
    out += "[\n";
    for (std::size_t i = 0; i < marker.offline_profiles.size(); ++i) {
      out += "    ";
      append_json_string(out, marker.offline_profiles[i]);
      out += i + 1 < marker.offline_profiles.size() ? ",\n" : "\n";
    }
    out += "  ]";
  }
  out += "\n}";
  return out;
}

std::optional<SetupMarker> parse_setup_marker(std::string_view bytes) {
  // The JSON library would skip a byte-order mark; a marker never has one.
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return std::nullopt;
  // The library ends its input at a NUL byte, which would let anything after
  // one through; valid JSON has none anywhere, not even inside a string.
  if (bytes.find('\0') != std::string_view::npos) return std::nullopt;
  MarkerReader reader;
  bool parsed = false;
  try {
    // Strict: after the value only JSON white space may follow.
    parsed = nlohmann::json::sax_parse(bytes.begin(), bytes.end(), &reader,
                                       nlohmann::json::input_format_t::json, true, false);
  } catch (...) {
    return std::nullopt;
  }
  if (!parsed || !reader.complete()) return std::nullopt;
  return std::move(reader.marker());
}

MarkerReading read_setup_marker(FileSystem& files, const StateLayout& layout) {
  auto bytes = files.read_file(layout.marker());
  if (!bytes) return MarkerUnreadable{};
  auto marker = parse_setup_marker(*bytes);
  if (!marker) return MarkerUnparsable{};
  return std::move(*marker);
}

Status write_setup_marker(FileSystem& files, const StateLayout& layout, const SetupMarker& marker) {
  const std::string bytes = serialize_setup_marker(marker);
  const std::string marker_path = layout.marker();
  const std::string temporary = replace_extension(marker_path, "tmp");
  // The content is complete on disk before the old marker goes, and reaches
  // the marker path only by the rename, so a reader never sees half a marker.
  if (auto written = files.write_file(temporary, bytes); !written) {
    return fail("write setup marker: " + written.error().text);
  }
  if (files.exists(marker_path)) {
    if (auto removed = files.remove_file(marker_path); !removed) {
      return fail("replace setup marker: " + removed.error().text);
    }
  }
  if (auto renamed = files.rename(temporary, marker_path); !renamed) {
    return fail("commit setup marker: " + renamed.error().text);
  }
  return success();
}

}  // namespace tessarin
