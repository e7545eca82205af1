/* list: doubly linked list of element pointers with caller-supplied callbacks.
 *
 * Every operation that allocates does so before it relinks anything, so a
 * failed allocation leaves the list as it was. */
#include "core/list.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

list_node_s *node_create(void *data)
{
    list_node_s *node = static_cast<list_node_s *>(std::calloc(1, sizeof(list_node_s)));
    if (node != nullptr) {
        node->data = data;
    }
    return node;
}

/* Frees a chain of nodes linked by next, leaving their elements alone. */
void chain_free(list_node_s *node)
{
    while (node != nullptr) {
        list_node_s *next = node->next;
        std::free(node);
        node = next;
    }
}

void link_first_node(list_s *list, list_node_s *node)
{
    node->prev = nullptr;
    node->next = nullptr;
    list->head = node;
    list->tail = node;
}

/* Places node after ref, which belongs to list. */
void link_after(list_s *list, list_node_s *ref, list_node_s *node)
{
    node->prev = ref;
    node->next = ref->next;
    if (ref->next != nullptr) {
        ref->next->prev = node;
    } else {
        list->tail = node;
    }
    ref->next = node;
}

/* Places node before ref, which belongs to list. */
void link_before(list_s *list, list_node_s *ref, list_node_s *node)
{
    node->next = ref;
    node->prev = ref->prev;
    if (ref->prev != nullptr) {
        ref->prev->next = node;
    } else {
        list->head = node;
    }
    ref->prev = node;
}

/* The node at index counted from the head (negative indexes are the caller's
 * to treat); null past the end. */
list_node_s *node_at(const list_s *list, int32_t index)
{
    list_node_s *node = list->head;
    for (int32_t i = 0; node != nullptr && i < index; ++i) {
        node = node->next;
    }
    return node;
}

/* A chain of fresh nodes carrying src's element pointers in order, linked
 * both ways; *last receives its final node. Null for an empty source or when
 * a node cannot be allocated (nothing is kept then). */
list_node_s *chain_copy(const list_s *src, list_node_s **last)
{
    list_node_s *first = nullptr;
    list_node_s *tail = nullptr;
    for (const list_node_s *from = src->head; from != nullptr; from = from->next) {
        list_node_s *node = node_create(from->data);
        if (node == nullptr) {
            chain_free(first);
            return nullptr;
        }
        node->prev = tail;
        if (tail != nullptr) {
            tail->next = node;
        } else {
            first = node;
        }
        tail = node;
    }
    *last = tail;
    return first;
}

/* Places a new node beside ref (after it, or before it), or as the only node
 * of an empty list. Without a reference node a non-empty list takes the new
 * node at its tail (after) or head (before), so no existing node is cut off.
 * Null, and nothing changed, when the node cannot be allocated. */
list_node_s *place_new_node(list_s *list, list_node_s *ref, void *data, bool after)
{
    if (list == nullptr) {
        return nullptr;
    }
    list_node_s *node = node_create(data);
    if (node == nullptr) {
        return nullptr;
    }
    if (ref == nullptr) {
        ref = after ? list->tail : list->head;
    }
    if (ref == nullptr) {
        link_first_node(list, node);
    } else if (after) {
        link_after(list, ref, node);
    } else {
        link_before(list, ref, node);
    }
    return node;
}

} // namespace

KV_EXTERN_C_BEGIN

list_s *list_create(void) { return static_cast<list_s *>(std::calloc(1, sizeof(list_s))); }

int32_t list_get_size(const list_s *list)
{
    if (list == nullptr) {
        return -1;
    }
    int32_t count = 0;
    for (const list_node_s *node = list->head; node != nullptr && count < INT32_MAX;
         node = node->next) {
        ++count;
    }
    return count;
}

void *list_get_data_first(const list_s *list)
{
    return list == nullptr || list->head == nullptr ? nullptr : list->head->data;
}

void *list_get_data_last(const list_s *list)
{
    return list == nullptr || list->tail == nullptr ? nullptr : list->tail->data;
}

void *list_get_data_indexed(const list_s *list, int32_t index)
{
    if (list == nullptr) {
        return nullptr;
    }
    const list_node_s *node = node_at(list, index < 0 ? 0 : index);
    return node == nullptr ? nullptr : node->data;
}

void list_set_data_indexed(list_s *list, int32_t index, void *data, list_free_cb free_cb)
{
    if (list == nullptr || index < 0) {
        return;
    }
    list_node_s *node = node_at(list, index);
    if (node == nullptr) {
        return;
    }
    if (free_cb != nullptr && node->data != nullptr) {
        free_cb(node->data);
    }
    node->data = data;
}

void list_insert_first(list_s *list, void *data)
{
    list_insert(list, list == nullptr ? nullptr : list->head, data);
}

void list_append_last(list_s *list, void *data)
{
    list_append(list, list == nullptr ? nullptr : list->tail, data);
}

list_node_s *list_insert(list_s *list, list_node_s *ref, void *data)
{
    return place_new_node(list, ref, data, false);
}

list_node_s *list_append(list_s *list, list_node_s *ref, void *data)
{
    return place_new_node(list, ref, data, true);
}

void list_append_list(list_s *dst, const list_s *src)
{
    if (dst == nullptr || src == nullptr) {
        return;
    }
    list_node_s *last = nullptr;
    list_node_s *first = chain_copy(src, &last);
    if (first == nullptr) {
        return;
    }
    first->prev = dst->tail;
    if (dst->tail != nullptr) {
        dst->tail->next = first;
    } else {
        dst->head = first;
    }
    dst->tail = last;
}

void list_remove_data_indexed(list_s *list, int32_t index, list_free_cb free_cb)
{
    if (list == nullptr || index < 0) {
        return;
    }
    list_node_s *node = node_at(list, index);
    if (node == nullptr) {
        return;
    }
    if (node->prev != nullptr) {
        node->prev->next = node->next;
    } else {
        list->head = node->next;
    }
    if (node->next != nullptr) {
        node->next->prev = node->prev;
    } else {
        list->tail = node->prev;
    }
    if (free_cb != nullptr && node->data != nullptr) {
        free_cb(node->data);
    }
    std::free(node);
}

list_s *list_dup(const list_s *list, list_copy_cb copy_cb)
{
    if (list == nullptr) {
        return nullptr;
    }
    list_s *copy = list_create();
    if (copy == nullptr) {
        return nullptr;
    }
    /* All nodes exist before the first element is copied: a copy made by the
     * callback could not be released if a later node failed to allocate. */
    list_node_s *last = nullptr;
    list_node_s *first = chain_copy(list, &last);
    if (first == nullptr && list->head != nullptr) {
        std::free(copy);
        return nullptr;
    }
    copy->head = first;
    copy->tail = last;
    if (copy_cb != nullptr) {
        for (list_node_s *node = first; node != nullptr; node = node->next) {
            node->data = copy_cb(node->data);
        }
    }
    return copy;
}

int list_cmp(const list_s *a, const list_s *b, list_equal_cb equal_cb)
{
    const int32_t count = list_get_size(a);
    if (equal_cb == nullptr || count != list_get_size(b)) {
        return 0;
    }
    if (count <= 0) {
        return 1;
    }
    /* Walking both lists together visits the same pairs, in the same order, as
     * looking up the i-th element of each. */
    const list_node_s *x = a->head;
    const list_node_s *y = b->head;
    for (; x != nullptr && y != nullptr; x = x->next, y = y->next) {
        if (!equal_cb(x->data, y->data)) {
            return 0;
        }
    }
    return x == nullptr && y == nullptr;
}

void list_clear(list_s *list, list_free_cb free_cb)
{
    if (list == nullptr) {
        return;
    }
    list_node_s *node = list->head;
    list->head = nullptr;
    list->tail = nullptr;
    while (node != nullptr) {
        list_node_s *next = node->next;
        if (free_cb != nullptr) {
            free_cb(node->data);
        }
        std::free(node);
        node = next;
    }
}

void list_free(list_s *list, list_free_cb free_cb)
{
    if (list == nullptr) {
        return;
    }
    list_clear(list, free_cb);
    std::free(list);
}

void list_of_lists_free(list_s *lists, list_free_cb free_cb)
{
    if (lists == nullptr) {
        return;
    }
    for (list_node_s *node = lists->head; node != nullptr; node = node->next) {
        list_free(static_cast<list_s *>(node->data), free_cb);
    }
    list_free(lists, nullptr);
}

void list_debug(const list_s *list)
{
    if (list == nullptr) {
        return;
    }
    for (const list_node_s *node = list->head; node != nullptr; node = node->next) {
        /* A null element has no text; printing it through %s is undefined. */
        const char *text = node->data != nullptr ? static_cast<const char *>(node->data) : "(null)";
        std::printf("%s ", text);
    }
    std::putchar('\n');
}

void buf_write_list(buf_s *buf, const list_s *list, list_write_cb write_cb)
{
    const int32_t count = list == nullptr ? 0 : list_get_size(list);
    buf_write_uint32_enc(buf, static_cast<uint32_t>(count));
    if (count <= 0 || write_cb == nullptr) {
        return;
    }
    for (const list_node_s *node = list->head; node != nullptr; node = node->next) {
        write_cb(buf, node->data);
    }
}

KV_EXTERN_C_END
