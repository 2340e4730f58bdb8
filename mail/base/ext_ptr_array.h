// Owning arrays of the mail component.
//
// ExtPtrArray owns its elements: removing an element destroys it, and
// destroying the array destroys everything it still holds. Elements are
// ComponentObject subclasses; the template parameter only saves callers a
// cast when the array holds one kind of object.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>
#include <vector>

#include "mail/base/component_object.h"

namespace zelmar::mail {

template <class T = ComponentObject>
class ExtPtrArray {
    static_assert(std::is_base_of_v<ComponentObject, T>, "ExtPtrArray holds component objects");

public:
    std::size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }

    // Null for an index out of range, never undefined behaviour.
    T* at(std::size_t i) const { return i < items_.size() ? items_[i].get() : nullptr; }
    T* last() const { return items_.empty() ? nullptr : items_.back().get(); }

    T* append(std::unique_ptr<T> item) {
        if (!item) return nullptr;
        items_.push_back(std::move(item));
        return items_.back().get();
    }
    T* insertAt(std::size_t i, std::unique_ptr<T> item) {
        if (!item) return nullptr;
        if (i > items_.size()) i = items_.size();
        return items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(i), std::move(item))->get();
    }
    // Gives up ownership of element i to the caller (null if out of range).
    std::unique_ptr<T> release(std::size_t i) {
        if (i >= items_.size()) return nullptr;
        auto p = std::move(items_[i]);
        items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
        return p;
    }
    std::unique_ptr<T> popLast() { return items_.empty() ? nullptr : release(items_.size() - 1); }
    bool removeAt(std::size_t i) { return release(i) != nullptr; }
    void clear() { items_.clear(); }

    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

private:
    std::vector<std::unique_ptr<T>> items_;
};

// Growable array of integers.
class ExtIntArray {
public:
    std::size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    void append(int v) { items_.push_back(v); }
    // 0 for an index out of range.
    int at(std::size_t i) const { return i < items_.size() ? items_[i] : 0; }
    bool setAt(std::size_t i, int v) {
        if (i >= items_.size()) return false;
        items_[i] = v;
        return true;
    }
    bool removeAt(std::size_t i) {
        if (i >= items_.size()) return false;
        items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
        return true;
    }
    bool contains(int v) const {
        for (int x : items_)
            if (x == v) return true;
        return false;
    }
    void clear() { items_.clear(); }

private:
    std::vector<int> items_;
};

}  // namespace zelmar::mail
