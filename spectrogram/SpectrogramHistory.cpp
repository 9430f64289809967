#include "spectrogram/SpectrogramHistory.h"

#include <algorithm>
#include <cstring>

void SpectrogramHistory::reset(unsigned int capacity, unsigned int length)
{
    capacity_ = capacity > 0 ? capacity : 1;
    length_ = length;
    data_.assign(static_cast<size_t>(capacity_) * length_, 0);
    count_ = 0;
    head_ = capacity_ - 1;   // the first push lands in slot 0
}

void SpectrogramHistory::resize(unsigned int capacity)
{
    if (capacity == 0)
        capacity = 1;
    if (capacity == capacity_)
        return;
    std::vector<uint8_t> kept(static_cast<size_t>(capacity) * length_, 0);
    const unsigned int keep = std::min(count_, capacity);
    // The newest column goes to slot keep - 1, the oldest kept to slot 0.
    for (unsigned int age = 0; age < keep; ++age)
        std::memcpy(kept.data() + static_cast<size_t>(keep - 1 - age) * length_, column(age), length_);
    data_.swap(kept);
    capacity_ = capacity;
    count_ = keep;
    head_ = keep > 0 ? keep - 1 : capacity_ - 1;
}

uint8_t* SpectrogramHistory::push()
{
    head_ = (head_ + 1) % capacity_;
    if (count_ < capacity_)
        ++count_;
    return data_.data() + static_cast<size_t>(head_) * length_;
}
