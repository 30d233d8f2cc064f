#include "export.h"

#include <atomic>
#include <memory>
#include <utility>

namespace sr {

const char* const column_names[5] = {"job", "role", "text", "timestamp", "source"};

namespace {

// ---- schema: the strings are static, so only the parent owns memory (the children
// structs and the array of pointers to them).

struct schema_parts {
    ArrowSchema children[5];
    ArrowSchema* child_ptrs[5];
};

void release_child_schema(ArrowSchema* s) { s->release = nullptr; }

void release_schema(ArrowSchema* s) {
    for (int64_t i = 0; i < s->n_children; ++i) {
        ArrowSchema* c = s->children[i];
        if (c->release) c->release(c);
    }
    delete static_cast<schema_parts*>(s->private_data);
    s->release = nullptr;
}

void fill_schema(ArrowSchema& s, const char* format, const char* name) {
    s.format = format;
    s.name = name;
    s.metadata = nullptr;
    s.flags = 0;
    s.n_children = 0;
    s.children = nullptr;
    s.dictionary = nullptr;
    s.release = release_child_schema;
    s.private_data = nullptr;
}

// ---- record batches: one block holds the columns and every struct that points
// into them; the parent and each child hold a reference to it.

struct batch_parts {
    std::atomic<int> refs{6};
    batch_columns columns;
    ArrowArray children[5];
    ArrowArray* child_ptrs[5];
    const void* parent_buffers[1] = {nullptr};
    const void* child_buffers[5][3];
};

void drop_reference(batch_parts* parts) {
    if (parts->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete parts;
}

void release_child_array(ArrowArray* a) {
    drop_reference(static_cast<batch_parts*>(a->private_data));
    a->release = nullptr;
}

void release_array(ArrowArray* a) {
    for (int64_t i = 0; i < a->n_children; ++i) {
        ArrowArray* c = a->children[i];
        if (c->release) c->release(c);
    }
    drop_reference(static_cast<batch_parts*>(a->private_data));
    a->release = nullptr;
}

// Arrow allows a null pointer for an empty buffer, but not every consumer takes one.
const int64_t empty_buffer[1] = {0};

const void* or_empty(const void* p) { return p ? p : empty_buffer; }

void fill_array(ArrowArray& a, int64_t length, int64_t n_buffers, const void** buffers, batch_parts* parts) {
    a.length = length;
    a.null_count = 0;
    a.offset = 0;
    a.n_buffers = n_buffers;
    a.n_children = 0;
    a.buffers = buffers;
    a.children = nullptr;
    a.dictionary = nullptr;
    a.release = release_child_array;
    a.private_data = parts;
}

}  // namespace

void export_schema(ArrowSchema* out) {
    auto parts = std::make_unique<schema_parts>();
    fill_schema(parts->children[0], "i", column_names[0]);
    for (int f = 1; f < 5; ++f) fill_schema(parts->children[f], "u", column_names[f]);
    for (int f = 0; f < 5; ++f) parts->child_ptrs[f] = &parts->children[f];
    fill_schema(*out, "+s", "");
    out->n_children = 5;
    out->children = parts->child_ptrs;
    out->release = release_schema;
    out->private_data = parts.release();
}

void export_batch(batch_columns&& batch, ArrowArray* out) {
    auto parts = std::make_unique<batch_parts>();
    parts->columns = std::move(batch);
    const batch_columns& c = parts->columns;
    const int64_t rows = static_cast<int64_t>(row_count(c));
    parts->child_buffers[0][0] = nullptr;
    parts->child_buffers[0][1] = or_empty(c.job.data());
    parts->child_buffers[0][2] = nullptr;
    fill_array(parts->children[0], rows, 2, parts->child_buffers[0], parts.get());
    for (int f = 1; f < 5; ++f) {
        const text_column& t = c.texts[f - 1];
        parts->child_buffers[f][0] = nullptr;
        parts->child_buffers[f][1] = t.offsets.data();
        parts->child_buffers[f][2] = or_empty(t.bytes.data);
        fill_array(parts->children[f], rows, 3, parts->child_buffers[f], parts.get());
    }
    for (int f = 0; f < 5; ++f) parts->child_ptrs[f] = &parts->children[f];
    fill_array(*out, rows, 1, parts->parent_buffers, parts.get());
    out->n_children = 5;
    out->children = parts->child_ptrs;
    out->release = release_array;
    parts.release();
}

}  // namespace sr
