// Replacing the documents and tokens (a load) keeps the stored weights W of
// the last freeze, which belong to pairs of names. The index as it was at
// that freeze stays behind as the snapshot that holds W; every posting of
// the new contents takes its pair's weight from it (0.0 where W has none),
// and so does every posting added later, until the next freeze.
#include <algorithm>

#include "index/index.hpp"

namespace vantoro {

void Index::materialise_weights_from(const Index& source) {
  const uint32_t tokens = token_names_.size();
  std::vector<PostingList::WeightRoom> rooms(tokens);
  for (NameId t = 0; t < tokens; ++t) rooms[t] = tokens_[t].list.prepare_weights(tokens_[t].list.size());

  // Document ids of this index in the source, looked up once each.
  std::vector<NameId> source_doc(doc_names_.size());
  for (NameId d = 0; d < doc_names_.size(); ++d) source_doc[d] = source.find_document(doc_names_.name(d));
  // Per source document: its position + 1 in the source list being matched.
  std::vector<uint32_t> position(source.doc_names_.size(), 0);

  for (NameId t = 0; t < tokens; ++t) {
    PostingList& list = tokens_[t].list;
    float* out = list.weight_slots(rooms[t]);
    std::fill(out, out + list.size(), 0.0f);
    const NameId source_t = list.empty() ? StringTable::kAbsent : source.find_token(token_names_.name(t));
    if (source_t != StringTable::kAbsent && source.tokens_[source_t].list.weighted() != 0) {
      const PostingList& old = source.tokens_[source_t].list;
      for (uint32_t i = 0; i < old.weighted(); ++i) position[old.docs()[i]] = i + 1;
      for (uint32_t i = 0; i < list.size(); ++i) {
        const NameId d = source_doc[list.docs()[i]];
        const uint32_t pos = d == StringTable::kAbsent ? 0 : position[d];
        if (pos) out[i] = old.weights()[pos - 1];
      }
      for (uint32_t i = 0; i < old.weighted(); ++i) position[old.docs()[i]] = 0;
    }
  }
  for (NameId t = 0; t < tokens; ++t) tokens_[t].list.commit_weights(std::move(rooms[t]), tokens_[t].list.size());
}

void Index::replace_contents(Index&& fresh) {
  const uint64_t changes = changes_ + 1;
  const uint64_t frozen_at = frozen_at_;
  if (!frozen_any_) {
    // No stored weights to keep (W is empty).
    const float avgdl = avgdl_;
    *this = std::move(fresh);
    avgdl_ = avgdl;
    changes_ = changes;
    frozen_at_ = frozen_at;
    return;
  }
  // Everything that can fail comes first; then the swap.
  std::unique_ptr<Index> snapshot = snapshot_ ? nullptr : std::make_unique<Index>();
  fresh.materialise_weights_from(snapshot_ ? *snapshot_ : *this);
  const float avgdl = avgdl_;
  const bool prunable = weights_prunable_;
  if (snapshot) {
    *snapshot = std::move(*this);
  } else {
    snapshot = std::move(snapshot_);
  }
  *this = std::move(fresh);
  snapshot_ = std::move(snapshot);
  frozen_any_ = true;
  weights_prunable_ = prunable;
  avgdl_ = avgdl;
  changes_ = changes;
  frozen_at_ = frozen_at;
}

}  // namespace vantoro
