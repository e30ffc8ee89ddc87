// The transport of a build without libcurl.
#include "NoticeTransport.h"

bool NoticesAvailable() {
    return false;
}

std::string SendNotice(const TNoticeTarget&, const TNotice&) {
    return "This build of the program sends no notices (it was built without libcurl)";
}
