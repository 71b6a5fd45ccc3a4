// In-memory controls for the worker and the dialog's first look, behaving as the platform's:
// a progress bar keeps its position within its 16-bit range.
#pragma once

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/progress_bar.h"
#include "transfer/download_view.h"

class CMemoryProgressBar : public IProgressBar {
 public:
  void SetRange(unsigned short lower, unsigned short upper) override {
    std::lock_guard<std::mutex> hold(m_lock);
    m_lower = lower;
    m_upper = upper;
    m_pos = Clamp(m_pos);
  }
  void GetRange(int& lower, int& upper) override {
    std::lock_guard<std::mutex> hold(m_lock);
    lower = m_lower;
    upper = m_upper;
  }
  void SetStep(int step) override {
    std::lock_guard<std::mutex> hold(m_lock);
    m_step = step;
  }
  void SetPos(int pos) override {
    {
      std::lock_guard<std::mutex> hold(m_lock);
      m_pos = Clamp(pos);
    }
    if (onSetPos) onSetPos(pos);
  }
  void OffsetPos(int delta) override {
    std::lock_guard<std::mutex> hold(m_lock);
    m_pos = Clamp(m_pos + delta);
  }
  std::function<void(int)> onSetPos;  // lets a story act when the worker reaches a point

  int Pos() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_pos;
  }
  int Upper() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_upper;
  }
  int Step() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_step;
  }

 private:
  int Clamp(int pos) const { return std::min(std::max(pos, m_lower), m_upper); }
  std::mutex m_lock;
  int m_lower = 0, m_upper = 100, m_pos = 0, m_step = 10;
};

class CMemoryDownloadView : public IDownloadView {
 public:
  IProgressBar& OverallProgress() override { return overall; }
  IProgressBar& PartProgress() override { return part; }
  void ShowPartLabel(bool show) override {
    std::lock_guard<std::mutex> hold(m_lock);
    labelVisible = show;
  }
  void SetPartLabelText(const std::string& text) override {
    std::lock_guard<std::mutex> hold(m_lock);
    labelText = text;
    labelHistory.push_back(text);
    if (onLabel) onLabel(text);
  }
  void ShowPartProgress(bool show) override {
    std::lock_guard<std::mutex> hold(m_lock);
    partVisible = show;
  }
  std::function<void()> WorkerEnding() override {
    std::lock_guard<std::mutex> hold(m_lock);
    ++workerEndings;
    return onLastWord;
  }
  void EnableInstall(bool enable) override {
    std::lock_guard<std::mutex> hold(m_lock);
    installEnabled = enable;
  }

  CMemoryProgressBar overall;
  CMemoryProgressBar part;
  bool labelVisible = true;
  bool partVisible = true;
  bool installEnabled = false;
  int workerEndings = 0;
  std::string labelText = "Part";
  std::vector<std::string> labelHistory;
  std::function<void()> onLastWord;  // what the worker says once it has let go
  std::function<void(const std::string&)> onLabel;  // the part label's new text, as it is set

 private:
  std::mutex m_lock;
};
