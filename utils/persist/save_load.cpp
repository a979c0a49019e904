// Placeholder until the persistence layer lands.
#include "persist/save_load.hpp"

#include "fault.hpp"

namespace vantoro {

void save_index(const Index&, std::string_view) { throw Fault("not implemented yet"); }
void save_token_index(const Index&, std::string_view) { throw Fault("not implemented yet"); }
void save(const Index&, std::string_view) { throw Fault("not implemented yet"); }
void load(Index&, std::string_view) { throw Fault("not implemented yet"); }

}  // namespace vantoro
