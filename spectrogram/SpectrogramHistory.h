// The kept history of a spectrogram: a ring of columns, one per block,
// each the colour indices of every frequency component of that block
// (length bytes). Standard library only; memory is taken by reset and
// resize only, never by push.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class SpectrogramHistory {
public:
    // capacity columns of length indices each, all 0, none recorded yet.
    void reset(unsigned int capacity, unsigned int length);
    // A new capacity that keeps the newest columns that fit, in order.
    void resize(unsigned int capacity);
    // The slot of a new newest column, to be filled with length indices;
    // when the ring is full the oldest column makes way.
    uint8_t* push();

    unsigned int capacity() const { return capacity_; }
    unsigned int length() const { return length_; }
    unsigned int count() const { return count_; }   // columns recorded, at most capacity
    unsigned int head() const { return head_; }     // ring slot of the newest column
    // Slot of the column age blocks older than the newest (age < capacity).
    unsigned int slot(unsigned int age) const { return (head_ + capacity_ - age % capacity_) % capacity_; }
    const uint8_t* at_slot(unsigned int slot) const { return data_.data() + static_cast<std::size_t>(slot) * length_; }
    const uint8_t* column(unsigned int age) const { return at_slot(slot(age)); }

private:
    std::vector<uint8_t> data_;
    unsigned int capacity_ = 0, length_ = 0, count_ = 0;
    unsigned int head_ = 0;
};
