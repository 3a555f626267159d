// "Info Messages 2": every call is recorded; questions are answered from the
// host's script of answers.
#include "host.h"
#include "services.h"

namespace headless {
namespace {

void info(const char *text, const char *text2) {
    if (Host *host = Host::current()) host->record_message("info", nullptr, text, text2);
}
void error(const char *text, const char *text2) {
    if (Host *host = Host::current()) host->record_message("error", nullptr, text, text2);
}
void warning(const char *text, const char *text2) {
    if (Host *host = Host::current()) host->record_message("warning", nullptr, text, text2);
}
int ok_cancel(const char *title, const char *text, const char *text2) {
    Host *host = Host::current();
    return host ? host->answer_question("ok/cancel", title, text, text2) : 0;
}
int yes_no(const char *title, const char *text, const char *text2) {
    Host *host = Host::current();
    return host ? host->answer_question("yes/no", title, text, text2) : 0;
}
int yes_no_cancel(const char *title, const char *text, const char *text2) {
    Host *host = Host::current();
    return host ? host->answer_question("yes/no/cancel", title, text, text2) : 0;
}
int yes_no_all(const char *title, const char *text, const char *text2) {
    Host *host = Host::current();
    return host ? host->answer_question("yes/no/all", title, text, text2) : 0;
}

const MessageFuncs kMessages = {info, error, warning, ok_cancel, yes_no, yes_no_cancel, yes_no_all};

}  // namespace

const MessageFuncs &message_service() { return kMessages; }

}  // namespace headless
