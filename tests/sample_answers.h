// sample_answers: a status answer spelled out field by field, and the report it must give.
#ifndef QAV_TESTS_SAMPLE_ANSWERS_H
#define QAV_TESTS_SAMPLE_ANSWERS_H

#include <string>

// Fields: gauge, V1-V8, current, layers 8-1, heatsink, humidity, balance,
// temperature alerts, voltage alerts, status, then 3 trailing bytes.
inline const std::string answerA = "2134"
                                   "0CE40CE40CE40CE40CE40CE40CE40CE4"
                                   "FF9C"
                                   "161718191A1B1C1D"
                                   "1F"
                                   "2D"
                                   "05"
                                   "0000"
                                   "0012"
                                   "8000"
                                   "5A\n";

// The console report of answerA after its "time: ..." line.
inline const std::string reportA = "gasGauge : 85.000000\n"
                                   "V1:3.300 V2:3.300 V3:3.300 V4:3.300\n"
                                   "V5:3.300 V6:3.300 V7:3.300 V8:3.300\n"
                                   "Current: -1.00\n"
                                   "Stack Voltage: 26.400000\n"
                                   "Temps(layer 8 to layer 1): 22 23 24 25 26 27 28 29\n"
                                   "Heatsink temp: 31\n"
                                   "relative Humidity: 45\n"
                                   "balance register:  5\n"
                                   "temp alert register:  0\n"
                                   "WARNING: volt alert register: 12\n"
                                   "Battery Status Register: 8000\n"
                                   "Fan state: Off\n"
                                   "Main Fuse: Good\n"
                                   "Safe Operating Area: Good\n"
                                   "Overcurrent: Good\n"
                                   "Undervoltage: Good\n"
                                   "Overvoltage: Good\n"
                                   "Discharge Mode: Off\n"
                                   "Charge Mode: Off\n"
                                   "Discharge Transient: Good\n"
                                   "Battery Cold Limit: Good\n"
                                   "Heatsink Hot Limit: Good\n"
                                   "Battery Hot Limit: Good\n"
                                   "Battery Enable: On\n"
                                   "\n";

// qavd's JSON line of answerA after its "time" member.
inline const std::string jsonAfterTimeA =
    R"(,"gas_gauge_percent":85.0,"cell_voltages_volts":[3.3,3.3,3.3,3.3,3.3,3.3,3.3,3.3],)"
    R"("stack_voltage_volts":26.4,"current_amperes":-1.0,"layer_temperatures_celsius":[29,28,27,26,25,24,23,22],)"
    R"("heatsink_temperature_celsius":31,"relative_humidity_percent":45,"balance_register":5,)"
    R"("temp_alert_register":0,"volt_alert_register":18,"status_register":32768,)"
    R"("status_flags":{"fan":false,"main_fuse":false,"safe_operating_area":false,)"
    R"("overcurrent":false,"undervoltage":false,"overvoltage":false,"discharge_mode":false,)"
    R"("charge_mode":false,"discharge_transient":false,"battery_cold_limit":false,)"
    R"("heatsink_hot_limit":false,"battery_hot_limit":false,"battery_enable":true},)"
    R"("power_watts":-26.4,"runtime_seconds":null,"time_to_full_seconds":null,"capacity_ah":null,)"
    R"("capacity_source":null,"capacity_learning_percent":0.0,"energy_charged_joules":0,)"
    R"("energy_discharged_joules":0,)"
    R"("answer":"21340CE40CE40CE40CE40CE40CE40CE40CE4FF9C161718191A1B1C1D1F2D050000001280005A\n"})";

// A second answer, with values unlike answerA's in every reported field.
inline const std::string answerB = "2710"
                                   "0FA00FA00FA00FA00FA00FA00FA00FA0"
                                   "04E2"
                                   "1E1E1E1E1E1E1E1E"
                                   "28"
                                   "32"
                                   "00"
                                   "0001"
                                   "0000"
                                   "8408"
                                   "77\n";

#endif
