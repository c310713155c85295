// The window model: what the progress window and the dialog window show. It holds the
// truth; a toolkit backend only draws it. Layout values are design pixels at 96 dpi.
#pragma once

#include <cstdint>
#include <string>

namespace lumora {

struct Rect {
  int left = 0, top = 0, width = 0, height = 0;
};

// A text label. It sizes itself to its text; its left and top stay put.
struct Label {
  std::string Caption;
  Rect bounds;
};

// A horizontal progress bar with the 16-bit range of the Windows common control: Min, Max
// and Position are 0..65535, and Position always lies inside Min..Max.
class ProgressBar {
 public:
  uint16_t Min() const { return min_; }
  uint16_t Max() const { return max_; }
  uint16_t Position() const { return position_; }
  // Values outside 0..65535 are cut to their low 16 bits, as the control's messages do.
  void SetMin(int64_t value);
  void SetMax(int64_t value);
  // Clamped into Min..Max.
  void SetPosition(int64_t value);

  Rect bounds{16, 55, 200, 16};

 private:
  void Clamp();
  uint16_t min_ = 0, max_ = 100, position_ = 0;
};

// The progress window, Form1: the main window.
struct TForm1 {
  TForm1();
  std::string Caption = "SelfExtraction";
  Rect bounds{267, 154, 260, 87};  // screen position, client size
  Label Label1;                    // percentage, right of the bar
  Label Label2;                    // status line at the top
  Label Label3;                    // "Extracting file:"
  Label Label4;                    // name of the entry being unpacked
  ProgressBar ProgressBar1;
};

// The dialog window of the program's own, Form3. Created hidden; nothing shows it.
struct TForm3 {
  TForm3();
  std::string Caption = "Error";
  Rect bounds{270, 287, 112, 99};
  bool Visible = false;
  Rect imageBounds{13, 14, 32, 32};
  bool Image1Visible = true;   // plain light grey
  bool Image2Visible = false;  // error
  bool Image3Visible = false;  // warning
  bool Image4Visible = false;  // information
  Label Label1;
  Rect button1Bounds{13, 62, 75, 23};
  std::string Button1Caption = "OK";
  // Button1's OnClick: back to the plain image, then close (hide) the window.
  void Button1Click();
};

}  // namespace lumora
