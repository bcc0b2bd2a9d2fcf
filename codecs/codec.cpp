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

}  // namespace zep::codec
