// A native value tree for the loads decoder (cbor_decode_impl.h), shared by
// the core tests and the fuzz target: TreeBuilder builds it through the
// decoder, write_tree() writes it back with the core's generator, and
// core_model_decode() decodes an item a second, independent way, on the core's
// head reader (_cbor_next_view), as the reference the decoder must agree with.
// Trees compare floats by their bits (so -0.0 is not 0.0), any NaN equal to
// any other.
#ifndef KORVALENT_TESTS_CORE_CBOR_TREE_MODEL_H
#define KORVALENT_TESTS_CORE_CBOR_TREE_MODEL_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bindings/python/cbor_decode_impl.h"
#include "core/cbor.h"

namespace cbor_tree {

// Bit-equal, or both NaN: NaN payloads are not part of a decoded value (the
// core's reader, for one, turns some single-precision NaNs into the default).
inline bool same_float(uint64_t a, uint64_t b)
{
    constexpr uint64_t kExponent = 0x7FF0000000000000ull, kFraction = 0x000FFFFFFFFFFFFFull;
    const auto is_nan = [](uint64_t bits) {
        return (bits & kExponent) == kExponent && (bits & kFraction) != 0;
    };
    return a == b || (is_nan(a) && is_nan(b));
}

struct Node {
    enum Kind : uint8_t {
        kUint,
        kNegint,
        kFloat,
        kBytes,
        kText,
        kSimple,
        kArray,
        kMap,
        kTag,
        kBignum
    };
    Kind kind = kUint;
    uint64_t u = 0; // value, negint argument, simple value, tag number, bignum sign (1: negative)
    uint64_t float_bits = 0;
    std::string s;          // bytes, text, bignum magnitude
    std::vector<Node> kids; // array elements; map keys and values alternating; tag content

    bool operator==(const Node &o) const
    {
        return kind == o.kind && u == o.u && same_float(float_bits, o.float_bits) && s == o.s &&
               kids == o.kids;
    }
    bool operator!=(const Node &o) const { return !(*this == o); }
};

inline Node *leaf(Node::Kind kind, uint64_t u = 0)
{
    Node *n = new Node;
    n->kind = kind;
    n->u = u;
    return n;
}

// The decoder's builder over Node. Map keys are kept in order, duplicates
// included, so a tree says exactly what was on the wire.
class TreeBuilder {
public:
    using Value = Node *;
    Value uint(uint64_t v) { return leaf(Node::kUint, v); }
    Value negint(uint64_t arg) { return leaf(Node::kNegint, arg); }
    Value float64(double v)
    {
        Node *n = leaf(Node::kFloat);
        std::memcpy(&n->float_bits, &v, 8);
        return n;
    }
    Value simple(uint8_t v) { return leaf(Node::kSimple, v); }
    Value bytes(const uint8_t *p, size_t n)
    {
        Node *node = leaf(Node::kBytes);
        node->s.assign(reinterpret_cast<const char *>(p), n);
        return node;
    }
    Value text(const uint8_t *p, size_t n, const korvalent::cbor_decode::Utf8Shape &, bool)
    {
        Node *node = bytes(p, n);
        node->kind = Node::kText;
        return node;
    }
    Value known_key(const uint8_t *, size_t) { return nullptr; }
    Value list(size_t n)
    {
        Node *node = leaf(Node::kArray);
        node->kids.resize(n);
        return node;
    }
    void list_set(Value l, size_t i, Value item)
    {
        l->kids[i] = std::move(*item);
        delete item;
    }
    void list_filled(Value) {}
    Value list_of(Value *items, size_t n)
    {
        Node *node = list(n);
        for (size_t i = 0; i < n; ++i) list_set(node, i, items[i]);
        return node;
    }
    Value freeze(Value list) { return list; }
    Value map(size_t n)
    {
        Node *node = leaf(Node::kMap);
        node->kids.reserve(2 * n);
        return node;
    }
    bool map_set(Value m, Value k, Value v, uint64_t)
    {
        m->kids.push_back(std::move(*k));
        m->kids.push_back(std::move(*v));
        delete k;
        delete v;
        return true;
    }
    Value tag(uint64_t number, Value content)
    {
        Node *node = leaf(Node::kTag, number);
        node->kids.push_back(std::move(*content));
        delete content;
        return node;
    }
    Value bignum(bool negative, Value content)
    {
        Node *node = leaf(Node::kBignum, negative ? 1 : 0);
        node->s = std::move(content->s);
        delete content;
        return node;
    }
    void release(Value v) { delete v; }
};

struct Decoded {
    bool ok = false;
    Node tree;
    size_t consumed = 0; // bytes of the item when ok
    korvalent::cbor_decode::Failure failure;
};

// The decoder on data: the single item (whole) or the first item (first_only),
// reading text in place (settled input) or through a copy (input that may
// change).
inline Decoded
decode_tree(const uint8_t *data, size_t size, uint32_t max_depth, bool first_only = false,
            korvalent::cbor_decode::Input input = korvalent::cbor_decode::Input::kSettled)
{
    TreeBuilder builder;
    korvalent::cbor_decode::Decoder<TreeBuilder> decoder(builder, data, size, max_depth, 0, input);
    std::unique_ptr<Node> root(first_only ? decoder.next() : decoder.whole());
    Decoded out;
    out.ok = root != nullptr;
    if (root) out.tree = std::move(*root);
    out.consumed = decoder.offset();
    out.failure = decoder.failure();
    return out;
}

// Writes tree with the core generator, definite lengths, floats as doubles.
// False when a writer fails.
inline bool write_tree(cbor_generator_s *gen, const Node &n)
{
    switch (n.kind) {
    case Node::kUint:
        return cbor_write_uint(gen, n.u) == 0;
    case Node::kNegint:
        return _cbor_write_uint_helper(gen, 1, n.u) == 0;
    case Node::kFloat: {
        double d;
        std::memcpy(&d, &n.float_bits, 8);
        return cbor_write_float64(gen, d) == 1;
    }
    case Node::kBytes:
        return cbor_write_byte_string(gen, n.s.data(), n.s.size()) == 0;
    case Node::kText:
        return cbor_write_text_string(gen, n.s.data(), n.s.size()) == 0;
    case Node::kSimple:
        return _cbor_write_uint_helper(gen, 7, n.u) == 0;
    case Node::kBignum:
        return _cbor_write_uint_helper(gen, 6, n.u ? 3 : 2) == 0 &&
               cbor_write_byte_string(gen, n.s.data(), n.s.size()) == 0;
    case Node::kTag:
        return _cbor_write_uint_helper(gen, 6, n.u) == 0 && write_tree(gen, n.kids[0]);
    case Node::kArray:
    case Node::kMap: {
        const bool map = n.kind == Node::kMap;
        if ((map ? cbor_write_map(gen, n.kids.size() / 2) : cbor_write_array(gen, n.kids.size())) !=
            0)
            return false;
        for (const Node &kid : n.kids)
            if (!write_tree(gen, kid)) return false;
        return true;
    }
    }
    return false;
}

/* ------------------------------------------------------- the core's model */

// Code point by code point, as the Unicode tables state the rules: shortest
// form, no surrogates, at most U+10FFFF.
inline bool reference_utf8(const uint8_t *p, size_t n)
{
    size_t i = 0;
    while (i < n) {
        const uint8_t c = p[i];
        size_t len;
        uint32_t cp, min;
        if (c < 0x80) {
            len = 1;
            cp = c;
            min = 0;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
            min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
            min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
            min = 0x10000;
        } else
            return false;
        if (n - i < len) return false;
        for (size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

// Decodes one item with the core's reader. The core skips tag numbers and
// two-byte simple values without reporting them and does not decode simple
// values, so those few bytes are read here; everything else (arguments,
// counts, string payloads, floats) comes from _cbor_next_view.
class CoreModel {
public:
    CoreModel(const uint8_t *data, size_t size, uint32_t max_depth)
        : data_(data), max_depth_(max_depth)
    {
        _cbor_parser_init(&parser_, data, size);
    }

    // The item's tree in *out; false for any malformed or truncated input.
    bool item(Node *out, uint32_t depth = 0)
    {
        if (left() == 0) return false;
        const uint8_t ib = *parser_.cursor;
        const unsigned major = ib >> 5, ai = ib & 0x1F;
        if (ai >= 28 && ai <= 30) return false;
        if (major == 7 && ai != 25 && ai != 26 && ai != 27) return simple(out, ib);
        if (major == 6) return tag(out, ib, depth);
        if (ai == 31 && major < 2) return false;
        const bool indefinite = ai == 31;
        cbor_val_s v;
        if (_cbor_next_view(&parser_, &v) != 1) return false;
        switch (major) {
        case 0:
            out->kind = Node::kUint;
            out->u = v.value.u64;
            return true;
        case 1:
            out->kind = Node::kNegint;
            out->u = ~static_cast<uint64_t>(v.value.i64);
            return true;
        case 2:
        case 3:
            return string(out, major, indefinite, v);
        case 4:
        case 5:
            return container(out, major, indefinite, v.length, depth);
        default:
            out->kind = Node::kFloat;
            std::memcpy(&out->float_bits, &v.value.f64, 8);
            return true;
        }
    }

    size_t consumed() const { return static_cast<size_t>(parser_.cursor - data_); }
    size_t left() const { return static_cast<size_t>(cbor_parser_available_bytes(&parser_)); }

private:
    bool simple(Node *out, uint8_t ib)
    {
        const unsigned ai = ib & 0x1F;
        if (ai == 31) return false; // a break outside an indefinite item
        out->kind = Node::kSimple;
        out->u = ai;
        parser_.cursor += 1;
        if (ai == 24) {
            if (left() == 0 || *parser_.cursor < 32) return false;
            out->u = *parser_.cursor;
            parser_.cursor += 1;
        }
        return true;
    }

    bool tag(Node *out, uint8_t ib, uint32_t depth)
    {
        const unsigned ai = ib & 0x1F;
        if (ai == 31) return false;
        const uint8_t *number_at = parser_.cursor + 1;
        cbor_val_s v;
        if (_cbor_next_view(&parser_, &v) != 1) return false; // steps over the head
        uint64_t number = ai;
        if (ai >= 24) {
            number = 0;
            for (const uint8_t *p = number_at; p < parser_.cursor; ++p) number = number << 8 | *p;
        }
        if (depth >= max_depth_) return false;
        Node content;
        const bool bytes_next = left() > 0 && *parser_.cursor >> 5 == 2;
        if (!item(&content, depth + 1)) return false;
        if ((number == 2 || number == 3) && bytes_next) {
            out->kind = Node::kBignum;
            out->u = number == 3;
            out->s = std::move(content.s);
            return true;
        }
        out->kind = Node::kTag;
        out->u = number;
        out->kids.push_back(std::move(content));
        return true;
    }

    bool string(Node *out, unsigned major, bool indefinite, const cbor_val_s &v)
    {
        out->kind = major == 3 ? Node::kText : Node::kBytes;
        if (!indefinite) {
            out->s.assign(reinterpret_cast<const char *>(v.value.ptr),
                          static_cast<size_t>(v.length));
            return major == 2 || reference_utf8(v.value.ptr, static_cast<size_t>(v.length));
        }
        for (;;) {
            if (left() == 0) return false;
            const uint8_t ib = *parser_.cursor;
            if (ib == 0xFF) {
                parser_.cursor += 1;
                return true;
            }
            if (ib >> 5 != major || (ib & 0x1F) >= 28) return false;
            cbor_val_s chunk;
            if (_cbor_next_view(&parser_, &chunk) != 1) return false;
            if (major == 3 && !reference_utf8(chunk.value.ptr, static_cast<size_t>(chunk.length)))
                return false;
            out->s.append(reinterpret_cast<const char *>(chunk.value.ptr),
                          static_cast<size_t>(chunk.length));
        }
    }

    bool container(Node *out, unsigned major, bool indefinite, uint64_t count, uint32_t depth)
    {
        out->kind = major == 4 ? Node::kArray : Node::kMap;
        if (depth >= max_depth_) return false;
        const uint64_t items = indefinite ? 0 : (major == 5 ? 2 * count : count);
        if (!indefinite && count > left()) return false; // cannot all be there
        for (uint64_t i = 0; indefinite || i < items; ++i) {
            if (indefinite && left() > 0 && *parser_.cursor == 0xFF) {
                if (major == 5 && i % 2) return false; // a key without a value
                parser_.cursor += 1;
                return true;
            }
            Node kid;
            if (!item(&kid, depth + 1)) return false;
            out->kids.push_back(std::move(kid));
        }
        return true;
    }

    cbor_parser_s parser_;
    const uint8_t *data_;
    uint32_t max_depth_;
};

// The model's verdict on data as one whole item.
inline Decoded core_model_decode(const uint8_t *data, size_t size, uint32_t max_depth)
{
    CoreModel model(data, size, max_depth);
    Decoded out;
    out.ok = model.item(&out.tree) && model.left() == 0;
    out.consumed = model.consumed();
    return out;
}

} // namespace cbor_tree

#endif
