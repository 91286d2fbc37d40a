// The configuration file loader, fed as the scheduler feeds it: a file on disk (gzip-compressed
// when the input starts with the gzip magic, under a ".gz" name as the loader wants), loaded,
// converted and sent to a configuration store, whose entries are then read back through the
// configuration agent as the scheduler reads them at start-up.
// Properties: a failed load is one of the framework's exceptions and nothing else, and its text
// names the file; a tree that loaded crosses the bus and comes back record for record.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "config/ConfAgent.h"
#include "config/ConfBase.h"
#include "config/ConfNode.h"
#include "config/ConfNodeTypes.h"
#include "config/ConfOldFile.h"
#include "errors/Exception.h"
#include "values/StringStream.h"

namespace {

using ZelcorCorelib::ConfNode;
using ZelcorCorelib::Exception;

// Enough to reach every entry of a realistic file; a hostile one gets no more reads than this.
constexpr std::size_t kMaxReads = 256;

bool isGzip(std::string_view bytes) {
  return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0x1F &&
         static_cast<unsigned char>(bytes[1]) == 0x8B;
}

std::string streamed(const ConfNode& node) {
  ZelcorCorelib::StringStream stream;
  node.streamTo(stream);
  return stream.getBytes();
}

// The bus carries trees as streams; what is read back must stream to the same bytes.
void checkStreamRoundTrip(const ConfNode& tree) {
  const std::string bytes = streamed(tree);
  ZelcorCorelib::StringStream stream(bytes);
  ConfNode::Handle copy = ConfNode::root();
  copy->streamFrom(stream);
  ZelcorFuzz::require(streamed(*copy) == bytes, "a loaded tree streams back unchanged");
}

// Every entry read the way the scheduler reads: texts through the store (references expanded
// there), everything else converted by the node's own typed reading, lists of children.
void readBack(const ConfNode& converted, ZelcorCorelib::ConfAgent& agent) {
  std::vector<std::pair<const ConfNode*, std::string>> pending;
  for (const std::string& name : converted.getChildOrder()) {
    pending.emplace_back(converted.getChild(name).get(), name);
  }
  std::size_t reads = 0;
  while (!pending.empty() && reads < kMaxReads) {
    auto [node, path] = std::move(pending.back());
    pending.pop_back();
    ++reads;
    (void)node->valueAsText();
    try {
      const int type = node->getType();
      if (type == ZelcorCorelib::kConfString || type == ZelcorCorelib::kConfDir ||
          type == ZelcorCorelib::kConfFile) {
        (void)agent.getString(path);
      }
      if (node->getChildCount() != 0) (void)agent.getSubEntries(path);
    } catch (const Exception&) {
      // A name the store's path syntax reads otherwise (a keyword) is the file's problem.
    }
    for (const std::string& name : node->getChildOrder()) {
      pending.emplace_back(node->getChild(name).get(), path + "." + name);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ZelcorFuzz::silenceLogging();
  const std::string_view bytes = ZelcorFuzz::asText(data, size);
  const std::string path =
      ZelcorFuzz::writeInputFile(isGzip(bytes) ? "input.conf.gz" : "input.conf", bytes);

  ZelcorCorelib::ConfBase store;
  ZelcorCorelib::ConfAgent agent;
  ZelcorCorelib::ConfOldFile loader;
  try {
    loader.load(path, true);
  } catch (const Exception& failure) {
    ZelcorFuzz::require(!loader.getConvertedTree() && !loader.getRawTree(),
                        "a failed first load leaves no tree");
    ZelcorFuzz::require(failure.toString().find(path) != std::string::npos,
                        "a failed load names the file");
    return 0;
  }
  ZelcorFuzz::require(loader.getRawTree() && loader.getConvertedTree(),
                      "a successful load leaves both trees");
  checkStreamRoundTrip(*loader.getRawTree());
  checkStreamRoundTrip(*loader.getConvertedTree());
  readBack(*loader.getConvertedTree(), agent);
  return 0;
}
