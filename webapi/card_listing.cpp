// Card listing and search ("list_cards"): every card of one user's address book as a card
// record, optionally filtered by a search text, in the order the store returns them.
#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "card_model.h"
#include "contact_and_calendar_handler.h"

namespace {

const Json::StaticString kId("id");
const Json::StaticString kResourceId("resource_id");
const Json::StaticString kEtag("etag");

// Element `index` of `array` moved out; when it is the last one, its place is freed too. Null
// when the array is shorter.
Json::Value TakeElement(Json::Value& array, Json::ArrayIndex index) {
  Json::Value element;
  if (!array.isArray() || index >= array.size()) return element;
  if (index + 1 == array.size()) {
    array.removeIndex(index, &element);
  } else {
    element = std::move(array[index]);
  }
  return element;
}

// A string value taken over by the record without a copy; "" for anything else.
Json::Value TakeText(Json::Value& value) {
  if (!value.isString()) return Json::Value("");
  return Json::Value(std::move(value));
}

}  // namespace

void ContactAndCalendarHandler::listCards() {
  if (!hasParams(__LINE__, {"user"})) return;
  std::string searchKey;
  if (!readTextParam("search_key", searchKey)) {
    refuse(__LINE__, 900, "Request lost parameters");
    return;
  }
  std::string guid;
  if (!findUser(__LINE__, true, {900, "Request lost parameters", "Request lost parameters"}, guid))
    return;
  Json::Value names(Json::arrayValue);
  Json::Value texts(Json::arrayValue);
  Json::Value ids(Json::arrayValue);
  Json::Value md5s(Json::arrayValue);
  unsigned int count = 0;
  // An empty list is an answer only when the store could read it.
  if (!_dbHandler.GetCards(names, texts, guid, ids, md5s, count)) {
    refuse(__LINE__, 1012, "Fail to read cards from DB");
    return;
  }

  // Cards are read from the last one back, each taken out of the store's arrays as it is read:
  // what a card came from is freed while its record is made, which keeps a long listing's peak
  // memory down. The records are then put back into the store's order.
  std::vector<Json::Value> records;
  records.reserve(count);
  for (Json::ArrayIndex i = std::min<Json::ArrayIndex>(count, texts.size()); i-- > 0;) {
    Json::Value text = TakeElement(texts, i);
    const char* begin = "";
    const char* end = begin;
    if (text.isString()) text.getString(&begin, &end);
    Json::Value record =
        card::ReadRecord(std::string_view(begin, static_cast<std::size_t>(end - begin)));
    text = Json::Value();
    Json::Value name = TakeElement(names, i);
    Json::Value id = TakeElement(ids, i);
    Json::Value md5 = TakeElement(md5s, i);
    record[kId] = TakeText(name);
    record[kResourceId] = TakeText(id);
    // An edit can send it back, so that a change made meanwhile is not overwritten.
    record[kEtag] = TakeText(md5);
    if (searchKey.empty() || card::Matches(record, searchKey)) records.push_back(std::move(record));
  }
  Json::Value reply(Json::objectValue);
  Json::Value& cards = reply["cards"] = Json::Value(Json::arrayValue);
  for (auto record = records.rbegin(); record != records.rend(); ++record) {
    cards.append(std::move(*record));
  }
  _response->SetSuccess(std::move(reply));
}
