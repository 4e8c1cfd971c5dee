# Read by ctest at its start (see CMakeLists.txt): one entry
# "system.<file>.<test>" for every test function of test_*.py, found by
# reading the files (top-level "def test...", and "def test..." methods of
# "class Test..."), so that pytest runs that test alone, with all its
# parameters. test_registration.py checks these entries against pytest's
# own collection, so that no test can slip through unrun.
#
# The tests that take longest start first: ctest knows their times only
# from an earlier run in the same build tree, and in a fresh one (as in CI)
# a long test begun late holds up the end of the whole pass. Seconds as
# measured on an idle machine; a name that is no longer a test is ignored.
set(long_tests
	test_package.test_package_installs_and_upgrades_under_a_running_daemon:120
	test_intercom_files.test_control_fifo_taken_away:43
	test_sip_pbx.test_registration_fails_and_comes_back:41
	test_cio_boards.test_recordings_and_readings:41
	test_healthmon.test_usb_port_cycled_20s_after_the_last_passed_test:37
	test_intercom_link.test_a_babbling_unit_stalls_neither_bus:33
	test_mainloop.test_watchdog_fed_by_dump_else_reboot:32
	test_cio_dispatcher.test_three_silent_dispatchers_with_interval_30:31
	test_vterm_intercoms.test_intercoms_in_the_virtual_terminal:31
	test_vterm.test_an_engineers_session:31
	test_intercom_files.test_states_file_taken_away:29
	test_sip_pbx.test_calls_both_ways_through_the_pbx:28
	test_intercom_calls.test_a_babbling_bus_leaves_a_call_on_the_other_bus_alone:28
	test_vterm.test_scripted_use:25
	test_vterm.test_a_reader_that_goes_away:25
	test_snmp.test_gpio_faults_are_notified_and_their_ends:24
	test_resilience.test_snmp_reader_restarts_under_a_shell_started_daemon:24
	test_units.test_kelvgd_service_monitors_stops_and_reboots:23
	test_sip_media.test_srtp_call_carries_audio_and_nothing_plain:22)
file(GLOB system_test_files "${system_test_dir}/test_*.py")
foreach(file IN LISTS system_test_files)
	get_filename_component(module "${file}" NAME_WE)
	file(READ "${file}" text)
	string(REGEX MATCHALL "\n(class [A-Za-z0-9_]+|(async )?def [A-Za-z0-9_]+|    (async )?def test[A-Za-z0-9_]*)"
		definitions "\n${text}")
	# A file whose tests build much (the package) says how long they may
	# take on a busy machine: "TIMEOUT = <seconds>" at its top level.
	set(timeout 300)
	if(text MATCHES "\nTIMEOUT = ([0-9]+)")
		set(timeout ${CMAKE_MATCH_1})
	endif()
	set(class "")
	set(tests "")
	foreach(definition IN LISTS definitions)
		if(definition MATCHES "^\nclass (Test[A-Za-z0-9_]*)$")
			set(class "${CMAKE_MATCH_1}::")
		elseif(definition MATCHES "^\n    (async )?def (test[A-Za-z0-9_]*)$")
			if(class)
				list(APPEND tests "${class}${CMAKE_MATCH_2}")
			endif()
		else()
			set(class "")
			if(definition MATCHES "^\n(async )?def (test[A-Za-z0-9_]*)$")
				list(APPEND tests "${CMAKE_MATCH_2}")
			endif()
		endif()
	endforeach()
	foreach(test IN LISTS tests)
		string(REPLACE "::" "." name "system.${module}.${test}")
		add_test("${name}" /usr/bin/python3 -m pytest -p no:cacheprovider -q "${file}::${test}")
		# Python's compiled modules are kept in the build tree, also where the
		# environment says not to write them: the entries start some hundred
		# interpreters.
		set_tests_properties("${name}" PROPERTIES ENVIRONMENT "${system_test_env}" TIMEOUT ${timeout}
			ENVIRONMENT_MODIFICATION "PYTHONDONTWRITEBYTECODE=unset:;PYTHONPYCACHEPREFIX=set:${system_test_pycache}")
		string(REPLACE "::" "." entry "${module}.${test}")
		set(cost ${long_tests})
		list(FILTER cost INCLUDE REGEX "^${entry}:")
		if(cost)
			string(REGEX REPLACE "^.*:" "" cost "${cost}")
			set_tests_properties("${name}" PROPERTIES COST ${cost})
		endif()
	endforeach()
endforeach()
