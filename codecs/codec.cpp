#include "codecs/codec.h"

namespace zep::codec {

void CodecTable::add(std::unique_ptr<Codec> codec) {
  int type = codec->type();
  codecs_[type] = std::move(codec);
}

Codec* CodecTable::find(int type) const {
  auto it = codecs_.find(type);
  return it == codecs_.end() ? nullptr : it->second.get();
}

void CodecTable::resetSender(int sender) {
  resetOthers(sender, nullptr);
}

void CodecTable::resetOthers(int sender, const Codec* except) {
  for (auto& [type, codec] : codecs_)
    if (codec.get() != except) codec->resetSender(sender);
}

void CodecTable::resetEncoders() {
  for (auto& [type, codec] : codecs_) codec->resetEncoder();
}

}  // namespace zep::codec
