// quelby-report [--out FILE] OUTDIR: writes the report page of a finished run folder
// (write_run_report), OUTDIR/report.html unless --out names the page.
#include <iostream>

#include "app/command_exit.hpp"
#include "app/report_command_line.hpp"
#include "quelby/base/io.hpp"
#include "quelby/report/run_report.hpp"

int main(int argc, char** argv) {
  const bool print_details = true;
  return quelby::exit_status_of(
      [&] {
        std::ostream no_log(nullptr);
        const quelby::Io io{std::cout, std::cerr, no_log};
        const quelby::ReportArguments arguments = quelby::parse_report_command_line(io, argc, argv);
        const std::string name = quelby::write_run_report(io, arguments.folder, arguments.out);
        std::cout << "Report written to " << name << '\n';
        return quelby::exit_success;
      },
      print_details);
}
