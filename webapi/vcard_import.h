// Reading an uploaded .vcf file into cards for the import: the file's bytes as UTF-8 text, its
// cards (nested and unended ones included) and each property rewritten as clean vCard 3.0. It
// stores nothing: the import hands each finished card to the store.
#ifndef WEBAPI_VCARD_IMPORT_H
#define WEBAPI_VCARD_IMPORT_H

#include <cstddef>
#include <functional>
#include <string>

namespace vcard {

// One card may take this much memory. Photos make cards of hundreds of kilobytes ordinary; a card
// far beyond that is a damaged or hostile file, and skipping it keeps memory bounded.
constexpr std::size_t kCardLimit = 16u << 20;

struct ImportedCard {
  int number = 0;    // its place in the file, counted by BEGIN lines
  std::string uid;   // the UID it is stored under, given when its BEGIN line is read
  std::string text;  // the whole card, BEGIN to END, CR LF lines; empty for a card over the limit
};

// Reads every card of the file at `path`, in the order the cards end: `finished` gets each
// complete card and `tooLarge` each card that went over kCardLimit. `newUid` gives a card its
// UID. False when the file cannot be read (or its UTF-16 cannot be converted).
bool ReadCardsOfFile(const std::string& path, const std::function<std::string()>& newUid,
                     const std::function<void(const ImportedCard&)>& finished,
                     const std::function<void(const ImportedCard&)>& tooLarge);

}  // namespace vcard

#endif  // WEBAPI_VCARD_IMPORT_H
