#include "http/session_extension.h"

#include <cstdlib>
#include <cstring>

namespace VemNetwork {
namespace session_ext {

const char kHeaderName[] = "X-Vemnet-Ext";
const char kErrorPrefix[] = "error=";

namespace {

const char kAnnounce[] = "ext=1";
const char kSessionField[] = "session=";
const char kOfferMark[] = "&ext=1&hold=";
const char kMaxField[] = "&max=";
const char kAtField[] = "at=";
const char kEndField[] = "&end=1";
const char kDataField[] = "&data=";

// The decimal number at text[from], up to the first character not a digit;
// false when there is none or it overflows.
bool NumberAt(const std::string& text, size_t from, uint64_t* out, size_t* end = nullptr) {
    uint64_t v = 0;
    size_t i = from;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (v > (UINT64_MAX - 9) / 10) return false;
        v = v * 10 + uint64_t(text[i] - '0');
    }
    if (i == from) return false;
    *out = v;
    if (end) *end = i;
    return true;
}

bool StartsWith(const std::string& text, size_t at, const char* prefix) {
    return text.compare(at, std::strlen(prefix), prefix) == 0;
}

}  // namespace

std::string FormatRequestFields(const RequestFields& f) {
    std::string out;
    auto add = [&out](const std::string& field) {
        if (!out.empty()) out += "; ";
        out += field;
    };
    if (f.announce) add(kAnnounce);
    if (f.rid) add("rid=" + std::to_string(f.rid));
    if (f.ack) add("ack=" + std::to_string(f.ack));
    if (f.wait) add("wait=1");
    return out;
}

bool ParseRequestFields(const std::string& value, RequestFields* out) {
    RequestFields f;
    size_t at = 0;
    while (at < value.size()) {
        size_t end = value.find(';', at);
        if (end == std::string::npos) end = value.size();
        size_t from = value.find_first_not_of(" \t", at);
        std::string field = from < end ? value.substr(from, end - from) : std::string();
        while (!field.empty() && (field.back() == ' ' || field.back() == '\t')) field.pop_back();
        uint64_t n = 0;
        size_t stop = 0;
        auto number = [&](size_t skip) { return NumberAt(field, skip, &n, &stop) && stop == field.size(); };
        if (field == kAnnounce) {
            f.announce = true;
        } else if (field.compare(0, 4, "rid=") == 0) {
            if (!number(4) || n == 0) return false;
            f.rid = n;
        } else if (field.compare(0, 4, "ack=") == 0) {
            if (!number(4)) return false;
            f.ack = n;
        } else if (field.compare(0, 5, "wait=") == 0) {
            if (!number(5)) return false;
            f.wait = n != 0;
        }
        at = end + 1;
    }
    *out = f;
    return true;
}

std::string FormatOffer(const std::string& session, const Offer& offer) {
    return kSessionField + session + kOfferMark + std::to_string(offer.holdMs) + kMaxField +
           std::to_string(offer.maxMessage);
}

bool ParseOffer(const std::string& body, std::string* session, Offer* offer) {
    if (!StartsWith(body, 0, kSessionField)) return false;
    size_t mark = body.find(kOfferMark);
    if (mark == std::string::npos) return false;
    uint64_t hold = 0, max = 0;
    size_t end = 0;
    if (!NumberAt(body, mark + std::strlen(kOfferMark), &hold, &end) || !StartsWith(body, end, kMaxField) ||
        !NumberAt(body, end + std::strlen(kMaxField), &max, &end) || end != body.size() || hold > UINT32_MAX ||
        max > UINT32_MAX) {
        return false;
    }
    size_t from = std::strlen(kSessionField);
    *session = body.substr(from, mark - from);
    offer->holdMs = uint32_t(hold);
    offer->maxMessage = uint32_t(max);
    return true;
}

std::string FormatDataHead(uint64_t at, bool end) {
    return kAtField + std::to_string(at) + (end ? kEndField : "") + kDataField;
}

bool ParseDataReply(const std::string& body, DataReply* out) {
    if (!StartsWith(body, 0, kAtField)) return false;
    size_t next = 0;
    DataReply r;
    if (!NumberAt(body, std::strlen(kAtField), &r.at, &next)) return false;
    if (StartsWith(body, next, kEndField)) {
        r.end = true;
        next += std::strlen(kEndField);
    }
    if (!StartsWith(body, next, kDataField)) return false;
    r.dataFrom = next + std::strlen(kDataField);
    *out = r;
    return true;
}

}  // namespace session_ext
}  // namespace VemNetwork
