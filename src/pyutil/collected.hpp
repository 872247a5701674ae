// Strong references gathered one by one and then made into a list in one step.
//
// A list allocated first and filled as the items come would be visible half-filled (to a
// finalizer walking gc.get_objects(), say) while the code that produces the items runs. The items
// are kept here instead, the first `Inline` of them without any allocation, and `to_list` makes
// the list of exactly those items with nothing running between its allocation and its filling.
#pragma once
#include "ref.hpp"

#include <cstddef>
#include <vector>

namespace pyutil {

template <std::size_t Inline = 16>
class Collected {
public:
    Collected() noexcept = default;
    Collected(const Collected&) = delete;
    Collected& operator=(const Collected&) = delete;
    ~Collected() {
        for (std::size_t i = 0; i < count_ && i < Inline; ++i) Py_DECREF(inline_[i]);
    }

    // Takes `item` (a strong reference, not empty).
    void push(Ref item) {
        if (count_ < Inline) [[likely]] {
            inline_[count_++] = item.release();
            return;
        }
        push_rest(std::move(item));
    }

    std::size_t size() const noexcept { return count_; }

    // A new list of the items in order, which it takes over; null with an exception set on failure.
    Ref to_list() {
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count_)));
        if (!list) return Ref();
        for (std::size_t i = 0; i < count_; ++i) {
            PyObject* item = i < Inline ? inline_[i] : rest_[i - Inline].release();
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        count_ = 0;
        rest_.clear();
        return list;
    }

private:
    [[gnu::noinline]] void push_rest(Ref item) {
        rest_.push_back(std::move(item));
        ++count_;
    }

    PyObject* inline_[Inline];  // the first min(count_, Inline) are strong references
    std::vector<Ref> rest_;
    std::size_t count_ = 0;
};

}  // namespace pyutil
