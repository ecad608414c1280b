// An ordered list with one built-in cursor, and separate cursors (Lister) over it.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

// The list owns its items; they are released with it. The built-in cursor starts on the first
// call of has_next and is dropped when the end is reached, so the next walk starts at the front.
template <class T>
class List {
 public:
  void append(T item) { items_.push_back(std::move(item)); }
  size_t length() const { return items_.size(); }
  bool empty() const { return items_.empty(); }

  bool has_next() {
    if (!walking_) {
      walking_ = true;
      pos_ = 0;
    }
    if (pos_ < items_.size()) return true;
    walking_ = false;
    return false;
  }
  T& next() { return items_[pos_++]; }

  typename std::vector<T>::iterator begin() { return items_.begin(); }
  typename std::vector<T>::iterator end() { return items_.end(); }
  typename std::vector<T>::const_iterator begin() const { return items_.begin(); }
  typename std::vector<T>::const_iterator end() const { return items_.end(); }

 private:
  std::vector<T> items_;
  size_t pos_ = 0;
  bool walking_ = false;
};

// A cursor of its own over a list, independent of the list's built-in one.
template <class T>
class Lister {
 public:
  explicit Lister(const List<T>& list) : list_(list) {}
  bool has_next() const { return pos_ < list_.length(); }
  const T& next() { return *(list_.begin() + static_cast<std::ptrdiff_t>(pos_++)); }

 private:
  const List<T>& list_;
  size_t pos_ = 0;
};
