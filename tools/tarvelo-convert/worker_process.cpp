#include "worker_process.h"

#include <unistd.h>

#include "TarveloConvert.h"
#include "test_fault_hooks.h"
#include "worker_protocol.h"

namespace tarvelo::cli {

void RunWorker(int channel) {
  ConversionRequest request;
  while (ReceiveRequest(channel, &request)) {
    InjectTestFault(request.source);
    char detail[1024] = "";
    ConversionReply reply;
    reply.status = TarveloConvert(request.source.c_str(), request.destination.c_str(), request.layout, detail,
                                  sizeof detail);
    reply.detail = detail;
    if (!SendReply(channel, reply)) {
      break;
    }
  }
  // A forked copy of the tool: its stdio buffers and exit handlers belong to the tool.
  _exit(0);
}

}  // namespace tarvelo::cli
