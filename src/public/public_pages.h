#pragma once
#include <map>
#include <string>

#include "public/public_data.h"
#include "status/status_history.h"

namespace tallysv {

// One request to the players' site, as the pages see it: the path without
// ".json", whether JSON was asked for (by the suffix or the Accept header),
// and the query's values (texts from a browser come as UTF-8).
struct PublicRequest {
    std::string path;
    bool json = false;
    std::map<std::string, std::string> params;
};

struct PublicAnswer {
    int status = 200;
    std::string body;
    std::string type;
};

// Everything a page is made from, none of it the network's live state.
struct PublicView {
    const PublicData& data;
    const PublicOnline& online;
    const HistoryView& history;  // the last 24 hours, for the network page
    const ScoreLabels& labels;
};

// The pages: "/" (the network), "/scores" (the score groups), "/scores/ID"
// (a score table: by=1..5 picks the value, page=N the hundred), "/player"
// (name=), "/squads" (page=N), "/squad" (name=), "/search" (q=, a name's
// beginning). Rows per page of the tables.
constexpr size_t kPublicPageRows = 100;
PublicAnswer renderPublicPage(const PublicRequest& request, const PublicView& view);

// "%XX" for every byte but letters, digits and "-._~", for links.
std::string urlEncode(std::string_view text);
// A text from a browser (UTF-8) as the network writes names (Latin-1);
// characters beyond Latin-1 are kept as they came.
std::string utf8ToLatin1(std::string_view text);

}  // namespace tallysv
