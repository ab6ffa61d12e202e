// Renders the application icon's SVG into PNG files of the given sizes, at build time.
// Usage: svg_to_png ICON.svg OUTPUT_FOLDER SIZE...  (writes OUTPUT_FOLDER/vormic-SIZE.png)
// It reads the small subset the artwork keeps to: the root's viewBox; rect (x, y, width,
// height, rx, ry), circle (cx, cy, r) and path (absolute or relative M, L, H, V, Z) with
// flat fill, stroke, stroke-width, stroke-linecap and stroke-linejoin. Anything else is
// refused, so the artwork cannot quietly use a feature the PNGs would lack.
#include <QColor>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QXmlStreamReader>

#include <cstdio>
#include <vector>

namespace {

struct Shape {
  QPainterPath path;
  QBrush fill;
  QPen stroke;
};

double Number(const QXmlStreamAttributes& attributes, const char* name, double fallback = 0) {
  const QStringView value = attributes.value(QLatin1String(name));
  bool ok = false;
  const double number = value.toDouble(&ok);
  return ok ? number : fallback;
}

bool Paint(const QString& value, QColor* color) {
  if (value.isEmpty() || value == QLatin1String("none")) {
    *color = Qt::transparent;
    return true;
  }
  *color = QColor::fromString(value);
  return color->isValid();
}

// Path data with the commands M, L, H, V, Z in either case.
bool ParsePath(const QString& data, QPainterPath* path) {
  QPointF current, start;
  QChar command;
  int i = 0;
  const int n = static_cast<int>(data.size());
  auto skip = [&] {
    while (i < n && (data[i].isSpace() || data[i] == QLatin1Char(','))) ++i;
  };
  auto number = [&](double* out) {
    skip();
    int begin = i;
    while (i < n &&
           (data[i].isDigit() || data[i] == QLatin1Char('.') || data[i] == QLatin1Char('-') ||
            data[i] == QLatin1Char('+') || data[i] == QLatin1Char('e')))
      ++i;
    bool ok = false;
    *out = data.mid(begin, i - begin).toDouble(&ok);
    return ok;
  };
  while (true) {
    skip();
    if (i >= n) return true;
    if (data[i].isLetter()) command = data[i++];
    const bool relative = command.isLower();
    const QPointF origin = relative ? current : QPointF();
    double x = 0, y = 0;
    switch (command.toUpper().toLatin1()) {
      case 'M':
        if (!number(&x) || !number(&y)) return false;
        current = start = origin + QPointF(x, y);
        path->moveTo(current);
        command = relative ? QLatin1Char('l') : QLatin1Char('L');  // further pairs are lines
        break;
      case 'L':
        if (!number(&x) || !number(&y)) return false;
        current = origin + QPointF(x, y);
        path->lineTo(current);
        break;
      case 'H':
        if (!number(&x)) return false;
        current.setX(relative ? current.x() + x : x);
        path->lineTo(current);
        break;
      case 'V':
        if (!number(&y)) return false;
        current.setY(relative ? current.y() + y : y);
        path->lineTo(current);
        break;
      case 'Z':
        path->closeSubpath();
        current = start;
        break;
      default:
        return false;
    }
  }
}

bool ReadShapes(const QString& file_name, QRectF* view_box, std::vector<Shape>* shapes) {
  QFile file(file_name);
  if (!file.open(QIODevice::ReadOnly)) {
    fprintf(stderr, "svg_to_png: cannot open %s\n", qPrintable(file_name));
    return false;
  }
  QXmlStreamReader xml(&file);
  while (!xml.atEnd()) {
    if (xml.readNext() != QXmlStreamReader::StartElement) continue;
    const QStringView name = xml.name();
    const QXmlStreamAttributes a = xml.attributes();
    if (name == QLatin1String("svg")) {
      const QStringList box = a.value(QLatin1String("viewBox")).toString().split(QLatin1Char(' '));
      if (box.size() != 4) {
        fprintf(stderr, "svg_to_png: the root needs a viewBox of four numbers\n");
        return false;
      }
      *view_box =
          QRectF(box[0].toDouble(), box[1].toDouble(), box[2].toDouble(), box[3].toDouble());
      continue;
    }
    if (name == QLatin1String("title") || name == QLatin1String("desc")) continue;
    Shape shape;
    if (name == QLatin1String("rect")) {
      const QRectF r(Number(a, "x"), Number(a, "y"), Number(a, "width"), Number(a, "height"));
      const double rx = Number(a, "rx", Number(a, "ry"));
      shape.path.addRoundedRect(r, rx, Number(a, "ry", rx));
    } else if (name == QLatin1String("circle")) {
      const double r = Number(a, "r");
      shape.path.addEllipse(QPointF(Number(a, "cx"), Number(a, "cy")), r, r);
    } else if (name == QLatin1String("path")) {
      if (!ParsePath(a.value(QLatin1String("d")).toString(), &shape.path)) {
        fprintf(stderr, "svg_to_png: path data outside M, L, H, V, Z at line %lld\n",
                static_cast<long long>(xml.lineNumber()));
        return false;
      }
    } else {
      fprintf(stderr, "svg_to_png: element <%s> at line %lld is not supported\n",
              qPrintable(name.toString()), static_cast<long long>(xml.lineNumber()));
      return false;
    }
    QColor fill, stroke;
    const QString fill_text = a.hasAttribute(QLatin1String("fill"))
                                  ? a.value(QLatin1String("fill")).toString()
                                  : QStringLiteral("#000000");
    if (!Paint(fill_text, &fill) || !Paint(a.value(QLatin1String("stroke")).toString(), &stroke)) {
      fprintf(stderr, "svg_to_png: a colour at line %lld is not understood\n",
              static_cast<long long>(xml.lineNumber()));
      return false;
    }
    shape.fill = fill.alpha() == 0 ? QBrush(Qt::NoBrush) : QBrush(fill);
    if (stroke.alpha() == 0) {
      shape.stroke = QPen(Qt::NoPen);
    } else {
      shape.stroke = QPen(stroke, Number(a, "stroke-width", 1));
      const QStringView cap = a.value(QLatin1String("stroke-linecap"));
      shape.stroke.setCapStyle(cap == QLatin1String("round")    ? Qt::RoundCap
                               : cap == QLatin1String("square") ? Qt::SquareCap
                                                                : Qt::FlatCap);
      const QStringView join = a.value(QLatin1String("stroke-linejoin"));
      shape.stroke.setJoinStyle(join == QLatin1String("round")   ? Qt::RoundJoin
                                : join == QLatin1String("bevel") ? Qt::BevelJoin
                                                                 : Qt::MiterJoin);
    }
    shapes->push_back(shape);
  }
  if (xml.hasError()) {
    fprintf(stderr, "svg_to_png: %s\n", qPrintable(xml.errorString()));
    return false;
  }
  if (view_box->isEmpty()) {
    fprintf(stderr, "svg_to_png: no viewBox\n");
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: svg_to_png ICON.svg OUTPUT_FOLDER SIZE...\n");
    return 2;
  }
  QRectF view_box;
  std::vector<Shape> shapes;
  if (!ReadShapes(QString::fromLocal8Bit(argv[1]), &view_box, &shapes)) return 1;
  for (int arg = 3; arg < argc; ++arg) {
    const int size = atoi(argv[arg]);
    if (size <= 0 || size > 1024) {
      fprintf(stderr, "svg_to_png: bad size %s\n", argv[arg]);
      return 2;
    }
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
      QPainter painter(&image);
      painter.setRenderHint(QPainter::Antialiasing);
      painter.scale(size / view_box.width(), size / view_box.height());
      painter.translate(-view_box.topLeft());
      for (const Shape& shape : shapes) {
        painter.setPen(shape.stroke);
        painter.setBrush(shape.fill);
        painter.drawPath(shape.path);
      }
    }
    const QString out =
        QStringLiteral("%1/vormic-%2.png").arg(QString::fromLocal8Bit(argv[2])).arg(size);
    if (!image.save(out, "PNG")) {
      fprintf(stderr, "svg_to_png: cannot write %s\n", qPrintable(out));
      return 1;
    }
  }
  return 0;
}
