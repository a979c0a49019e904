// Replacing the documents and tokens (a load) keeps the weights of the last
// freeze: each new (document, token) posting takes the weight stored for the
// same pair of names, or none.
#include "index/index.hpp"

namespace vantoro {

void Index::replace_contents(Index&& fresh) {
  FrozenWeights kept;
  if (frozen_.any) {
    kept.any = true;
    const uint32_t fresh_tokens = fresh.token_names_.size();
    kept.begin.assign(fresh_tokens, 0);
    kept.size.assign(fresh_tokens, 0);
    std::vector<NameId> old_doc_of(fresh.doc_names_.size(), StringTable::kAbsent);
    std::vector<bool> old_doc_known(fresh.doc_names_.size(), false);
    std::vector<uint32_t> position_of_old_doc(doc_names_.size(), 0);  // position + 1

    for (NameId t = 0; t < fresh_tokens; ++t) {
      const TokenRecord& token = fresh.tokens_[t];
      if (!token.present || token.postings.empty()) continue;
      const NameId old_t = token_names_.find(fresh.token_names_.name(t));
      if (old_t == StringTable::kAbsent || old_t >= frozen_.size.size() || frozen_.size[old_t] == 0) continue;

      const TokenRecord& old_token = tokens_[old_t];
      const uint32_t weighted = frozen_.size[old_t];
      for (uint32_t i = 0; i < weighted; ++i) position_of_old_doc[old_token.postings[i].id] = i + 1;

      kept.begin[t] = kept.weights.size();
      kept.size[t] = static_cast<uint32_t>(token.postings.size());
      for (const Posting& p : token.postings) {
        if (!old_doc_known[p.id]) {
          old_doc_of[p.id] = doc_names_.find(fresh.doc_names_.name(p.id));
          old_doc_known[p.id] = true;
        }
        const NameId old_d = old_doc_of[p.id];
        const uint32_t pos = old_d == StringTable::kAbsent ? 0 : position_of_old_doc[old_d];
        kept.weights.push_back(pos ? frozen_.weights[frozen_.begin[old_t] + pos - 1] : 0.0f);
      }
      for (uint32_t i = 0; i < weighted; ++i) position_of_old_doc[old_token.postings[i].id] = 0;
    }
  }
  const float avgdl = avgdl_;
  *this = std::move(fresh);
  frozen_ = std::move(kept);
  avgdl_ = avgdl;
}

}  // namespace vantoro
