// GTF: nine tab-separated columns; the gene is named by an attribute of the feature itself.
#include <string>
#include <vector>

#include "annotation/attributes.hpp"
#include "annotation/format_readers.hpp"

namespace dulse::annotation {

namespace {

// The values of the wanted attributes on one line: the first of each key that has a value.
class WantedAttributes {
 public:
  explicit WantedAttributes(const Selection& selection) {
    keys_ = selection.gene_attributes;
    keys_.insert(keys_.end(), selection.extra_attributes.begin(), selection.extra_attributes.end());
    values_.resize(keys_.size());
    found_.resize(keys_.size());
    scratch_.resize(keys_.size());
  }

  void scan(std::string_view column) {
    std::fill(found_.begin(), found_.end(), false);
    size_t left = keys_.size();
    AttributeScanner scanner(column);
    Attribute a;
    while (left > 0 && scanner.next(a)) {
      if (!a.has_value) continue;
      for (size_t k = 0; k < keys_.size(); ++k) {
        if (!found_[k] && a.key == keys_[k]) {
          found_[k] = true;
          values_[k] = attribute_value(a, scratch_[k]);
          --left;
        }
      }
    }
    for (size_t k = 0; k < keys_.size(); ++k) {
      if (!found_[k]) values_[k] = std::string_view();
    }
  }

  std::string_view value(size_t k) const { return values_[k]; }
  const std::string_view* values_from(size_t k) const { return values_.data() + k; }

 private:
  std::vector<std::string> keys_;
  std::vector<std::string_view> values_;
  std::vector<bool> found_;
  std::vector<std::string> scratch_;
};

}  // namespace

void read_gtf(LineReader& lines, ReadContext& context, const Selection& selection,
              TableBuilder& builder) {
  const size_t n_gene = selection.gene_attributes.size();
  WantedAttributes wanted(selection);
  std::string joined;
  std::string_view line;
  std::string_view columns[9];
  while (lines.next(line)) {
    if (!line.empty() && line[0] == '#') continue;
    if (browser_line(line)) continue;
    const long number = lines.number();
    if (split_columns(line, columns, 9) != 9) {
      if (blank_line(line)) continue;
      context.fail(number, "expected 9 tab-separated columns, found " +
                               std::to_string(split_columns(line, columns, 9)));
    }
    if (!selection.selects(columns[2])) {
      context.saw_type(columns[2]);
      continue;
    }
    int32_t start, end;
    read_interval(context, number, columns[3], columns[4], &start, &end);
    wanted.scan(columns[8]);
    std::string_view gene = wanted.value(0);
    size_t absent = gene.empty() ? 0 : n_gene;
    if (n_gene > 1 && absent == n_gene) {
      joined.assign(gene);
      for (size_t k = 1; k < n_gene && absent == n_gene; ++k) {
        if (wanted.value(k).empty()) absent = k;
        joined += ':';
        joined += wanted.value(k);
      }
      gene = joined;
    }
    if (absent < n_gene) {
      context.missing(number, "the " + std::string(columns[2]) + " has no " +
                                  selection.gene_attributes[absent] + " attribute");
      continue;
    }
    const char strand = read_place(context, number, columns[0], columns[6]);
    builder.add(columns[0], start, end, gene, strand, number, wanted.values_from(n_gene));
  }
}

}  // namespace dulse::annotation
