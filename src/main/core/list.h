/* list: a doubly linked list of untyped element pointers.
 *
 * The list never interprets its elements: freeing, copying, comparing and
 * writing them is done by callbacks passed to the operations that need them.
 * Invariants: head and tail are both null or both set; following next from
 * head reaches tail; every node's next node has that node as its prev.
 * Sizes and indexes are signed 32-bit, counting from 0 at the head. An
 * operation whose node or header cannot be allocated changes nothing. */
#ifndef KORVALENT_CORE_LIST_H
#define KORVALENT_CORE_LIST_H

#include <stdint.h>
#include "core/buf.h"
#include "core/export.h"

KV_EXTERN_C_BEGIN

typedef struct list_node_s {
    struct list_node_s *prev; /* null at the head */
    struct list_node_s *next; /* null at the tail */
    void *data;               /* the element; not owned by the node */
} list_node_s;

typedef struct list_s {
    list_node_s *head; /* null when empty */
    list_node_s *tail; /* null when empty */
} list_s;

/* Releases one element. */
typedef void (*list_free_cb)(void *element);
/* Returns a new element equal to the given one. */
typedef void *(*list_copy_cb)(void *element);
/* Nonzero when an element of the first list equals one of the second. */
typedef int (*list_equal_cb)(void *a, void *b);
/* Appends the element's encoding to buf. */
typedef void (*list_write_cb)(buf_s *buf, void *element);

/* New empty list, or null if it cannot be allocated. Free with list_free. */
KV_API list_s *list_create(void);
/* Number of nodes (saturated at INT32_MAX); -1 for a null list. */
KV_API int32_t list_get_size(const list_s *list);
/* The head's element; null for a null or empty list. */
KV_API void *list_get_data_first(const list_s *list);
/* The tail's element; null for a null or empty list. */
KV_API void *list_get_data_last(const list_s *list);
/* The element at index (0 or less means the first); null for a null list or
 * an index past the end. */
KV_API void *list_get_data_indexed(const list_s *list, int32_t index);
/* Replaces the element at index, first passing a non-null old element to
 * free_cb when one is given. A null list or an index out of range does nothing. */
KV_API void list_set_data_indexed(list_s *list, int32_t index, void *data, list_free_cb free_cb);
/* New node holding data at the head; a null list or a failed allocation does
 * nothing. */
KV_API void list_insert_first(list_s *list, void *data);
/* New node holding data at the tail; a null list or a failed allocation does
 * nothing. */
KV_API void list_append_last(list_s *list, void *data);
/* New node holding data placed before ref (a null ref places it at the head);
 * returns the node, or null for a null list or a failed allocation. */
KV_API list_node_s *list_insert(list_s *list, list_node_s *ref, void *data);
/* New node holding data placed after ref (a null ref places it at the tail);
 * returns the node, or null for a null list or a failed allocation. */
KV_API list_node_s *list_append(list_s *list, list_node_s *ref, void *data);
/* Appends new nodes sharing src's element pointers, in order; src is
 * unchanged. Null arguments or a failed allocation change nothing. */
KV_API void list_append_list(list_s *dst, const list_s *src);
/* Unlinks and frees the node at index, first passing a non-null element to
 * free_cb when one is given. A null or empty list or an index out of range
 * does nothing. */
KV_API void list_remove_data_indexed(list_s *list, int32_t index, list_free_cb free_cb);
/* New list with one node per node of list, each element copy_cb's result or,
 * without copy_cb, the same pointer. Null for a null list or when a node or
 * the header cannot be allocated (copy_cb is then never called). */
KV_API list_s *list_dup(const list_s *list, list_copy_cb copy_cb);
/* 1 when both lists have the same count and equal_cb holds for every pair in
 * order (two null or two empty lists are equal); 0 otherwise, and always 0
 * without equal_cb. */
KV_API int list_cmp(const list_s *a, const list_s *b, list_equal_cb equal_cb);
/* Frees every node, passing each element (null ones included) to free_cb
 * first when one is given; the header stays, empty. Null does nothing. */
KV_API void list_clear(list_s *list, list_free_cb free_cb);
/* As list_clear, then frees the header. Null does nothing. */
KV_API void list_free(list_s *list, list_free_cb free_cb);
/* Frees a list whose every element is a list (or null): each inner list as by
 * list_free with free_cb, then the outer list. Null does nothing. */
KV_API void list_of_lists_free(list_s *lists, list_free_cb free_cb);
/* Prints each element as a zero-terminated string followed by a space, then a
 * newline, to standard output; a null list prints nothing. */
KV_API void list_debug(const list_s *list);
/* Appends the node count (0 for a null list) as a 32-bit LEB128, then, given
 * write_cb, each element through it from head to tail. */
KV_API void buf_write_list(buf_s *buf, const list_s *list, list_write_cb write_cb);

KV_EXTERN_C_END

#endif
