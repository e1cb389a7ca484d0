function rc = run_suite(tests)
  % Runs each test function, prints PASS/FAIL lines and the closing "N passed, M failed" line.
  npass = 0; nfail = 0;
  for k = 1:numel(tests)
    try
      tests{k}();
      npass++;
      printf('PASS %s\n', func2str(tests{k}));
    catch err
      nfail++;
      printf('FAIL %s: %s\n', func2str(tests{k}), err.message);
    end
  end
  printf('%d passed, %d failed\n', npass, nfail);
  rc = double(nfail > 0 || npass == 0);
end
