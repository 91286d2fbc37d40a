#include "support/DirectoryStore.h"

#include "bus/ImsMessage.h"
#include "config/ConfNode.h"
#include "config/ConfParams.h"
#include "values/StringStream.h"

namespace Zelcor::test {

DirectoryStore::DirectoryStore(const std::vector<Entry>& entries) {
  ZelcorCorelib::ConfNode::Handle root = ZelcorCorelib::ConfNode::root();
  bool made = true;
  for (const Entry& entry : entries) {
    ZelcorCorelib::ConfNode::Handle node =
        root->createByPath("Zelcor.directories." + entry.name, entry.type);
    if (!node) {
      made = false;
      continue;
    }
    node->setValue(entry.value);
  }
  ZelcorCorelib::StringStream stream;
  root->streamTo(stream);
  ZelcorCorelib::ConfDataParam data(&stream);
  ZelcorCorelib::ImsMessage message("conf", "data", "clear-old", &data);
  loaded = agent.sendMessage(message) && made;
  agent.keyword("dirs", "Zelcor.directories");
}

}  // namespace Zelcor::test
