// Feeds arbitrary bytes through everything an incoming connection's bytes pass: the frame
// reader, the message decoder, and the protocol table's argument checks.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/ipc/wire.h"
#include "service/messages.h"

namespace {

struct NoSession {};

void deliver(const std::string& payload) {
    using namespace companion;
    std::string selector;
    std::vector<std::string> arguments;
    ipc::decodeStringOneWay(payload, selector, arguments);
    auto message = ipc::decodeMessage(payload);
    if (!message) return;
    static const service::CompanionService<NoSession> emptyService;  // every slot refuses
    NoSession session;
    if (auto* call = std::get_if<ipc::Call>(&*message)) {
        service::dispatch(emptyService, session, call->selector, false, call->arguments, [](service::Value) {});
    } else if (auto* oneWay = std::get_if<ipc::OneWay>(&*message)) {
        service::dispatch(emptyService, session, oneWay->selector, true, oneWay->arguments, nullptr);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    companion::ipc::FrameReader frames(companion::ipc::maxRequestFrame);
    frames.append(reinterpret_cast<const char*>(data), size);
    std::string payload;
    while (frames.next(payload) == companion::ipc::FrameReader::Status::frame) deliver(payload);
    // the same bytes as one bare payload, so the decoder sees inputs the frame length would hide
    deliver(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
