#include "shell/window_model.h"

namespace lumora {

void ProgressBar::SetMin(int64_t value) {
  min_ = static_cast<uint16_t>(value);
  Clamp();
}

void ProgressBar::SetMax(int64_t value) {
  max_ = static_cast<uint16_t>(value);
  Clamp();
}

void ProgressBar::SetPosition(int64_t value) {
  if (value < min_) {
    position_ = min_;
  } else if (value > max_) {
    position_ = max_;
  } else {
    position_ = static_cast<uint16_t>(value);
  }
}

void ProgressBar::Clamp() { SetPosition(position_); }

TForm1::TForm1() {
  Label1 = {"  ", {224, 56, 17, 16}};
  Label2 = {std::string(17, ' '), {90, 8, 51, 13}};
  Label3 = {std::string(18, ' '), {16, 29, 54, 13}};
  Label4 = {std::string(18, ' '), {93, 29, 54, 13}};
}

TForm3::TForm3() { Label1 = {"  ", {61, 16, 6, 13}}; }

void TForm3::Button1Click() {
  Image2Visible = false;
  Image3Visible = false;
  Image4Visible = false;
  Image1Visible = true;
  Visible = false;
}

}  // namespace lumora
