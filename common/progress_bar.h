#pragma once

// A progress bar as the program drives it. Like the platform's control, it keeps its position
// within its range: moves past either bound stop there. The range is 16-bit.
class IProgressBar {
 public:
  virtual ~IProgressBar() = default;
  virtual void SetRange(unsigned short lower, unsigned short upper) = 0;
  virtual void GetRange(int& lower, int& upper) = 0;
  virtual void SetStep(int step) = 0;
  virtual void SetPos(int pos) = 0;
  virtual void OffsetPos(int delta) = 0;
};
