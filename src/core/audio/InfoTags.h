// Tags both ways: the LIST/INFO chunk of a WAV file and the Vorbis comments of a FLAC
// file, each made from the other (TITLE INAM, ARTIST IART, ALBUM IPRD, DATE ICRD, GENRE
// IGNR, TRACKNUMBER ITRK, COMMENT ICMT; text in UTF-8). Only in use while the tags option
// is on, which the volume sets once, before it serves.
//
// Thread-safe: the switch is atomic; the rest has no state.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace Vantor::Audio {

using Comments = std::vector<std::pair<std::string, std::string>>;

void SetTagsEnabled(bool enabled);
bool TagsEnabled();

// The whole LIST chunk ("LIST", size, "INFO", one sub-chunk per field that has a value,
// each NUL-terminated and padded to an even size) for the comments; "" when none of
// them maps. Several values of one field are joined with "; ".
std::string BuildInfoList(const Comments& comments);

// The comments that a whole LIST/INFO chunk carries, in the order of its sub-chunks;
// none for any other chunk. Text that is not UTF-8 is taken as Latin-1.
Comments InfoComments(const std::string& list);

}  // namespace Vantor::Audio
