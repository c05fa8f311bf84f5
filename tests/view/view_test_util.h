// Small dumps for the viewer's tests, written as the daemon writes them.
#pragma once

#include <string>

namespace view_test {

// A dump of three beacons: the local one (10.77.0.1) with hostile texts
// escaped as the daemon escapes them, a remote one it measures and that
// reports on both, and one known only from that report.
inline std::string small_dump() {
    return "<beacons rxrate=\"1.23\" txrate=\"0.45\" versioninfo=\"0.3.9.1 ($Rev: 409 $)\">\n"
           "<group addr=\"239.1.2.3/10000\" ssmgroup=\"232.2.3.2/10000\" int=\"5.00\">\n"
           "\t<beacon name=\"alpha &lt;script&gt;\" addr=\"10.77.0.1/43210\" contact=\"a&amp;b@x\" country=\"DE\""
           " age=\"100\" lastupdate=\"0\" rxlocal=\"true\">\n"
           "\t\t<flag name=\"SSM\" value=\"true\" />\n"
           "\t\t<flag name=\"SSMPing\" value=\"true\" />\n"
           "\t\t<website type=\"generic\" url=\"http://a.example/?x=1&amp;y=&quot;2&quot;\" />\n"
           "\t\t<website type=\"lg\" url=\"javascript:alert(1)\" />\n"
           "\t\t<sources>\n"
           "\t\t\t<source addr=\"10.77.0.2/43211\" name=\"b&#200;ta&#9;&apos;\" contact=\"b@x\" country=\"F&#10;\""
           " age=\"90\" lastupdate=\"1\">\n"
           "\t\t\t\t<asm ttl=\"2\" rptage=\"3\" loss=\"2.5\" delay=\"1.250\" future=\"true\" jitter=\"0.100\""
           " ooo=\"0.250\" dup=\"0.000\" />\n"
           "\t\t\t\t<ssm rptage=\"3\" loss=\"0.0\" delay=\"1.300\" jitter=\"0.200\" ooo=\"0.000\" dup=\"1.500\" />\n"
           "\t\t\t</source>\n"
           "\t\t</sources>\n"
           "\t</beacon>\n"
           "\n"
           "\t<beacon name=\"b&#200;ta&#9;&apos;\" contact=\"b@x\" addr=\"10.77.0.2/43211\" age=\"90\" rxlocal=\"true\""
           " lastupdate=\"1\">\n"
           "\t\t<website type=\"matrix\" url=\"https://b.example/m\" />\n"
           "\t\t<sources>\n"
           "\t\t\t<source name=\"alpha &lt;script&gt;\" contact=\"a&amp;b@x\" addr=\"10.77.0.1/43210\" age=\"80\">\n"
           "\t\t\t\t<asm ttl=\"2\" rptage=\"100\" loss=\"0.0\" delay=\"1.000\" jitter=\"0.100\" ooo=\"0.000\""
           " dup=\"0.000\" />\n"
           "\t\t\t</source>\n"
           "\t\t\t<source name=\"gamma\" contact=\"\" addr=\"10.77.0.3/43212\" age=\"80\">\n"
           "\t\t\t\t<asm ttl=\"1\" rptage=\"2\" loss=\"10.0\" delay=\"3.000\" jitter=\"0.100\" ooo=\"0.000\""
           " dup=\"0.000\" />\n"
           "\t\t\t</source>\n"
           "\t\t</sources>\n"
           "\t</beacon>\n"
           "</group>\n"
           "</beacons>\n";
}

}  // namespace view_test
