#include "oauth_http.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace quorvexia::signin {

namespace {

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct ListDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

struct Sink {
    std::string body;
    bool overflowed = false;
};

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    std::size_t n = size * count;
    if (sink->body.size() + n > kReplyMaxBytes) {
        sink->overflowed = true;
        return 0;  // stops the transfer
    }
    sink->body.append(data, n);
    return n;
}

}  // namespace

HttpReply PostForm(const std::string& url, const Params& params, const HttpOptions& options) {
    HttpReply reply;
    if (url.rfind("https://", 0) != 0) {
        reply.error = "the address " + url + " is not https";
        return reply;
    }
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) {
        reply.error = "the HTTP library could not start";
        return reply;
    }
    std::string form = EncodeParams(params);
    std::unique_ptr<curl_slist, ListDeleter> headers(curl_slist_append(nullptr, "Accept: application/json"));
    Sink sink;
    char message[CURL_ERROR_SIZE] = {};
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, options.connectSeconds);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, options.totalSeconds);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!options.caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, options.caFile.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, form.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(form.size()));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, message);
    CURLcode code = curl_easy_perform(c);
    // The form held secrets: leave no copy behind in freed memory.
    std::fill(form.begin(), form.end(), '\0');
    if (sink.overflowed) {
        reply.error = "the answer of " + url + " is larger than 64 KiB";
        return reply;
    }
    if (code != CURLE_OK) {
        reply.error = url + ": " + (message[0] ? std::string(message) : std::string(curl_easy_strerror(code)));
        return reply;
    }
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &reply.status);
    reply.delivered = true;
    reply.body = std::move(sink.body);
    return reply;
}

}  // namespace quorvexia::signin
