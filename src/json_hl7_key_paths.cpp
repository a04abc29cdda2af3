// The tree of key sequences behind the flat reader's guesses (see
// json_hl7_key_paths.hpp).  Only a key not foreseen comes here.
#include "json_hl7_key_paths.hpp"

#include "json_hl7.hpp"

namespace segmorph {

void KeyPaths::clear() {
    states_.assign(1, State{});
    states_.reserve(1024);
    edges_.assign(4096, Edge{});
    edge_count_ = 0;
    full_ = false;
}

void KeyPaths::grow_edges() {
    std::vector<Edge> old(edges_.size() * 2);
    old.swap(edges_);
    for (const Edge& e : old) {
        if (e.to == 0) continue;
        std::size_t i = slot_of(e.low, e.high, e.from, edges_.size());
        while (edges_[i].to != 0) i = (i + 1) & (edges_.size() - 1);
        edges_[i] = e;
    }
}

std::uint32_t KeyPaths::follow(std::uint32_t from, std::string_view k, std::uint64_t code) {
    const std::size_t n = k.size();
    std::uint64_t low = 0;
    std::uint32_t high = 0;
    std::memcpy(&low, k.data(), n < 8 ? n : 8);
    if (n > 8) std::memcpy(&high, k.data() + 8, n - 8);
    std::size_t i = slot_of(low, high, from, edges_.size());
    std::uint32_t to = 0;
    for (;; i = (i + 1) & (edges_.size() - 1)) {
        const Edge& e = edges_[i];
        if (e.to == 0) break;
        if (e.low == low && e.high == high && e.from == from) {
            to = e.to;
            break;
        }
    }
    if (to == 0) {
        if (states_.size() >= kMaxStates) {
            full_ = true;
            return kOff;
        }
        to = static_cast<std::uint32_t>(states_.size());
        states_.emplace_back();
        edges_[i] = Edge{low, high, from, to};
        if (++edge_count_ * 2 > edges_.size()) grow_edges();
    }
    // The latest key after `from` is the first guess from now on, the one
    // before it the second.
    State& state = states_[from];
    state.guess[1] = state.guess[0];
    Guess& g = state.guess[0];
    std::memset(g.pattern, 0, sizeof g.pattern);
    g.pattern[0] = '"';
    std::memcpy(g.pattern + 1, k.data(), n);
    std::memcpy(g.pattern + 1 + n, "\":\"", 3);
    g.mask = static_cast<std::uint16_t>((1u << (n + 4)) - 1);
    g.key_size = static_cast<std::uint8_t>(n);
    g.code = code;
    g.name = JsonHl7::position_of_code(code) == JsonHl7::kNamePos;
    g.next = to;
    return to;
}

}  // namespace segmorph
