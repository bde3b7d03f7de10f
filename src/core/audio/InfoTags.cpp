#include "audio/InfoTags.h"

#include <algorithm>
#include <atomic>
#include <cctype>

#include "audio/FileIO.h"

namespace Vantor::Audio {

namespace {

std::atomic<bool> tagsEnabled{false};

struct Field {
  const char* vorbis;
  const char* info;
};
constexpr Field kFields[] = {{"TITLE", "INAM"}, {"ARTIST", "IART"}, {"ALBUM", "IPRD"}, {"DATE", "ICRD"},
                             {"GENRE", "IGNR"}, {"TRACKNUMBER", "ITRK"}, {"COMMENT", "ICMT"}};

bool SameName(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != b[i]) return false;
  }
  return i == a.size() && !b[i];
}

bool IsUTF8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size() || (n == 2 && c < 0xC2)) return false;
    for (size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

std::string Latin1ToUTF8(const std::string& s) {
  std::string out;
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// A chunk's 8-byte header: the four characters of id and the LE32 size.
std::string ChunkHeader(const char* id, size_t size) {
  std::string header(id, 4);
  header.resize(8);
  WriteLE32(header.data() + 4, static_cast<unsigned>(size));
  return header;
}

}  // namespace

void SetTagsEnabled(bool enabled) { tagsEnabled = enabled; }

bool TagsEnabled() { return tagsEnabled.load(); }

std::string BuildInfoList(const Comments& comments) {
  std::string body = "INFO";
  for (const Field& field : kFields) {
    std::string text;
    for (const auto& [name, value] : comments) {
      if (!SameName(name, field.vorbis)) continue;
      const std::string v = value.substr(0, value.find('\0'));
      if (v.empty()) continue;
      text += (text.empty() ? "" : "; ") + v;
    }
    if (text.empty()) continue;
    text += '\0';
    body += ChunkHeader(field.info, text.size()) + text;
    if (text.size() & 1) body += '\0';
  }
  if (body.size() == 4) return "";
  return ChunkHeader("LIST", body.size()) + body;
}

Comments InfoComments(const std::string& list) {
  Comments comments;
  if (list.size() < 12 || list.compare(0, 4, "LIST") != 0 || list.compare(8, 4, "INFO") != 0) return comments;
  const size_t end = std::min<size_t>(list.size(), 8 + static_cast<size_t>(ReadLE32(list.data() + 4)));
  for (size_t at = 12; at + 8 <= end;) {
    const std::string id = list.substr(at, 4);
    const size_t n = ReadLE32(list.data() + at + 4);
    if (n > end - at - 8) break;
    std::string text = list.substr(at + 8, n);
    text = text.substr(0, text.find('\0'));
    for (const Field& field : kFields) {
      if (id != field.info || text.empty()) continue;
      comments.emplace_back(field.vorbis, IsUTF8(text) ? text : Latin1ToUTF8(text));
    }
    at += 8 + n + (n & 1);
  }
  return comments;
}

}  // namespace Vantor::Audio
