// vCard import: cuts an uploaded .vcf file into cards and stores each one as a new card of the
// user, rewritten into the stored form (CRLF lines, folds joined, a fresh UID, VERSION:3.0, no
// REV). Cards are kept as text; nothing here parses them into the card record.
#include <fstream>
#include <istream>
#include <string>

#include "contact_and_calendar_handler.h"
#include "error_log.h"

namespace {

// One card may take this much memory. Photos make cards of hundreds of kilobytes ordinary; a card
// far beyond that is a damaged or hostile file, and skipping it keeps memory bounded.
constexpr std::size_t kCardLimit = 16u << 20;

bool startsWith(const std::string& line, const char* prefix) { return line.rfind(prefix, 0) == 0; }

// Reads the next line, without its line feed, into `line`; false at the end of the input or on a
// read error. A line of any length is consumed whole, but only its first `limit` bytes are kept:
// `cut` says that more were dropped, so one endless line cannot exhaust memory.
bool readLine(std::istream& in, std::string& line, std::size_t limit, bool& cut) {
  line.clear();
  cut = false;
  bool extracted = false;
  char chunk[64 * 1024];
  for (;;) {
    in.getline(chunk, sizeof chunk);
    const std::size_t got = static_cast<std::size_t>(in.gcount());
    extracted = extracted || got > 0;
    const bool full = in.fail() && !in.eof() && got == sizeof chunk - 1;
    if (in.fail() && !in.eof() && !full) return extracted;  // unreadable file or read error
    // Without end of file or a full chunk, getline consumed the line feed and counted it.
    const std::size_t kept = (full || in.eof()) ? got : got - 1;
    const std::size_t room = line.size() < limit ? limit - line.size() : 0;
    if (kept > room) cut = true;
    line.append(chunk, kept < room ? kept : room);
    if (!full) return extracted;
    in.clear();
  }
}

// A partial import still replies success, so each skipped card leaves a line here: its place in
// the file, the UID it was given, and why.
void logSkippedCard(int line, int cardNumber, const std::string& uid, const char* why) {
  const std::string number = std::to_string(cardNumber);
  ErrorLog(MODULE_SOURCE, line, 1, "Fail to set card ", number.c_str(), " of the file (UID ",
           uid.c_str(), "): ", why, static_cast<const char*>(nullptr));
}

}  // namespace

void ContactAndCalendarHandler::importCards() {
  // "file" carries the upload's original name; it is never read but must be there.
  if (!hasParams(__LINE__, {"user", "file_tmp", "file"})) return;
  std::string user, path;
  if (!readTextParam("user", user) || !readTextParam("file_tmp", path)) {
    replyLoggedError(__LINE__, 900, "Request lost parameters");
    return;
  }
  // A user the store does not know yet is provisioned, as add does, so the file is stored.
  std::string guid;
  if (!lookupGUID(user, true, guid)) {
    replyLoggedError(__LINE__, 1014, kLookupFailed);
    return;
  }
  if (guid.empty()) {
    replyLoggedError(__LINE__, 1011, "Fail to set card");
    return;
  }

  // A file that cannot be opened leaves the stream failed: no line is read and no card stored.
  std::ifstream file(path, std::ios::in | std::ios::binary);
  std::string line, card, uid;
  bool cut = false;
  bool inCard = false;
  bool oversized = false;  // the open card went over the limit; its lines are skipped
  int cardNumber = 0;
  int stored = 0;
  while (readLine(file, line, kCardLimit, cut)) {
    if (startsWith(line, "BEGIN:VCARD")) {
      // Also inside an open card: the unfinished card is dropped unstored.
      uid = _dbHandler.GetUUID();
      card = "BEGIN:VCARD";
      inCard = true;
      oversized = false;
      ++cardNumber;
      continue;
    }
    if (!inCard) continue;
    if (startsWith(line, "UID:") || startsWith(line, "VERSION:") || startsWith(line, "REV:")) {
      continue;
    }
    if (oversized) {
      inCard = !startsWith(line, "END:VCARD");
      continue;
    }
    // The CR of a CRLF line stays until the next line shows whether a line break follows.
    if (!card.empty() && card.back() == '\r') card.pop_back();
    // A line without a colon continues the one before it (an unfolded fold).
    if (line.find(':') != std::string::npos) card += "\r\n";
    if (startsWith(line, "END:VCARD")) {
      inCard = false;
      card += "VERSION:3.0\r\nUID:" + uid + "\r\nEND:VCARD\r\n";
      if (_dbHandler.AddCard(guid, uid, card)) {
        ++stored;
      } else {
        logSkippedCard(__LINE__, cardNumber, uid,
                       "the store refused it (the system log has its reason)");
      }
      continue;
    }
    card += formulateStr(line.c_str());
    if (cut || card.size() > kCardLimit) {
      logSkippedCard(__LINE__, cardNumber, uid, "larger than 16 MiB, skipped");
      oversized = true;
      card.clear();
      card.shrink_to_fit();
    }
  }

  if (stored > 0) {
    _response->SetSuccess(Json::Value());
    return;
  }
  _response->SetError(1011, Json::Value("Fail to set card"));
}
