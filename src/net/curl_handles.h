#pragma once

// libcurl's handles as the session and its replies hold them. Private to src/net.

#include "net/http_reply.h"
#include "net/network_session.h"

#include <QList>
#include <QObject>
#include <QTemporaryDir>
#include <curl/curl.h>
#include <memory>

namespace quillmere {

class HttpReply;

struct CurlMultiDeleter {
    void operator()(CURLM *multi) const { curl_multi_cleanup(multi); }
};
struct CurlShareDeleter {
    void operator()(CURLSH *share) const { curl_share_cleanup(share); }
};
struct CurlEasyDeleter {
    void operator()(CURL *easy) const { curl_easy_cleanup(easy); }
};
struct CurlListDeleter {
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
// For objects whose own signal may be running when they are let go.
struct DeferredDelete {
    template <class T> void operator()(T *object) const {
        object->setEnabled(false);
        object->deleteLater();
    }
};

using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlList = std::unique_ptr<curl_slist, CurlListDeleter>;

struct NetworkSession::Curl {
    // Declared first, freed last: the easy handles below and every reply's are attached to
    // the share, which refuses to go while they are.
    std::unique_ptr<CURLSH, CurlShareDeleter> share;
    std::unique_ptr<CURLM, CurlMultiDeleter> multi;
    CurlEasy cookieHandle;
    // Where libcurl writes the jar for cookies() to read; made at the first read.
    std::unique_ptr<QTemporaryDir> jarFolder;
    QList<HttpReply *> replies; // those added to the multi handle
    QList<Socket *> sockets;    // those libcurl watches

    // libcurl's callbacks, with its own parameter types.
    static int onSocket(CURL *easy, curl_socket_t socket, int what, void *session,
                        void *socketData);
    static int onTimer(CURLM *multi, long timeoutMs, void *session);
};

struct HttpReply::Easy {
    CurlEasy handle;
    CurlList headers;
    char error[CURL_ERROR_SIZE] = {};
};

} // namespace quillmere
